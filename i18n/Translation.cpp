#include "i18n/Translation.h"

#include "framework/Exception.h"
#include "i18n/Platform.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace gnugettext {

std::string ExecutableFilename;
TGnuGettextInstance* DefaultInstance = nullptr;

namespace {

std::shared_mutex resourceDomainsLock;
// Null before start-up and after exit: resource strings then come back as loaded.
std::unique_ptr<std::vector<std::string>> resourceDomains;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The code becomes a path component: nothing that could climb out of the locale directory.
std::string SafeLanguage(std::string code) {
    if (code.find('/') != std::string::npos || code.find('\\') != std::string::npos ||
        code.find("..") != std::string::npos || (!code.empty() && code[0] == '.'))
        return "C";
    code = code.substr(0, code.find('.'));
    return code.empty() ? "C" : code;
}

// Catalogues keep single line feeds; the program's texts use CR LF.
void AddCr(std::string& answer) {
    if (answer.find('\n') == std::string::npos)
        return;
    std::string out;
    out.reserve(answer.size() + 8);
    for (size_t i = 0; i < answer.size(); ++i) {
        if (answer[i] == '\n' && (i == 0 || answer[i - 1] != '\r'))
            out += '\r';
        out += answer[i];
    }
    answer = std::move(out);
}

// Resource strings are UTF-8; a text that is not is taken byte for byte.
WideString Loaded(const char* text) {
    std::string_view bytes = text ? text : "";
    if (auto wide = Utf8ToWide(bytes))
        return *wide;
    return WideString(bytes.begin(), bytes.end());
}

std::string ResStringLoaderEntry(const char* text) {
    return LoadResStringA(TResStringRec{text});
}

// A lookup whose catalogue fails is reported and made again without it, when the program
// asked for that; otherwise the failure goes to the caller.
template <class TLookup>
void Guarded(const std::function<void(const std::string&)>& onBroken, TDomain& domain,
             TLookup lookup) {
    try {
        lookup();
    } catch (const Exception& e) {
        if (!onBroken)
            throw;
        if (domain.GiveUpCatalogue())
            onBroken(e.Message);
        lookup();
    }
}

} // namespace

std::string LanguageFromEnvironment() {
    for (const char* name : {"LANG", "LC_ALL", "LC_MESSAGES"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return SafeLanguage(value);
    }
    return "C";
}

TGnuGettextInstance::TGnuGettextInstance(std::string localeDirectory)
    : localeDirectory_(std::move(localeDirectory)), currentDomain_("default") {
    UseLanguage("");
    bindtextdomain("default", localeDirectory_);
    textdomain("default");
}

TGnuGettextInstance::~TGnuGettextInstance() {
    for (TDomainNode* node = domains_.load(); node;) {
        TDomainNode* next = node->next;
        delete node;
        node = next;
    }
}

namespace {

bool SameName(std::string_view lowerKey, std::string_view name) {
    if (lowerKey.size() != name.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (lowerKey[i] != Lower(name[i]))
            return false;
    return true;
}

} // namespace

TDomain& TGnuGettextInstance::Domain(std::string_view name) {
    for (TDomainNode* node = domains_.load(std::memory_order_acquire); node; node = node->next)
        if (SameName(node->key, name))
            return *node->domain;
    std::unique_lock lock(lock_);
    TDomainNode* first = domains_.load(std::memory_order_relaxed);
    for (TDomainNode* node = first; node; node = node->next)
        if (SameName(node->key, name))
            return *node->domain;
    std::string key(name);
    for (char& c : key)
        c = Lower(c);
    auto* node = new TDomainNode{
        key, std::make_unique<TDomain>(std::string(name), localeDirectory_, language_), first};
    domains_.store(node, std::memory_order_release);
    return *node->domain;
}

std::string TGnuGettextInstance::dgettextUtf8(std::string_view domain, std::string_view msgid) {
    std::string answer;
    dgettextUtf8(domain, msgid, answer);
    return answer;
}

void TGnuGettextInstance::dgettextUtf8(std::string_view domain, std::string_view msgid,
                                       std::string& answer) {
    std::string key;
    if (msgid.find('\r') != std::string_view::npos) {
        for (char c : msgid)
            if (c != '\r')
                key += c;
        msgid = key;
    }
    TDomain& found = Domain(domain);
    Guarded(OnBrokenCatalogue, found, [&] { found.GetTranslation(msgid, answer); });
    AddCr(answer);
}

std::string TGnuGettextInstance::dngettextUtf8(std::string_view domain, std::string_view singular,
                                               std::string_view plural, unsigned long n) {
    std::string answer;
    TDomain& found = Domain(domain);
    Guarded(OnBrokenCatalogue, found,
            [&] { found.GetPluralTranslation(singular, plural, n, answer); });
    AddCr(answer);
    return answer;
}

WideString TGnuGettextInstance::dgettext(std::string_view domain, const WideString& msgid) {
    if (!Enabled)
        return msgid;
    std::string answer = dgettextUtf8(domain, WideToUtf8(msgid));
    if (auto wide = Utf8ToWide(answer))
        return *wide;
    if (msgid.empty())
        return {};
    throw Exception("Error: Could not translate " + WideToUtf8(msgid) +
                    ". Probably because the mo file doesn't contain utf-8 encoded translations.");
}

WideString TGnuGettextInstance::gettext(const WideString& msgid) {
    return dgettext(getcurrenttextdomain(), msgid);
}

void TGnuGettextInstance::textdomain(std::string_view domain) {
    std::unique_lock lock(lock_);
    currentDomain_ = domain;
}

std::string TGnuGettextInstance::getcurrenttextdomain() const {
    std::shared_lock lock(lock_);
    return currentDomain_;
}

void TGnuGettextInstance::bindtextdomain(std::string_view domain, std::string directory) {
    Domain(domain).SetDirectory(std::move(directory));
}

void TGnuGettextInstance::UseLanguage(std::string_view code) {
    std::string language = SafeLanguage(code.empty() ? SystemLanguage() : std::string(code));
    std::unique_lock lock(lock_);
    language_ = language;
    for (TDomainNode* node = domains_.load(std::memory_order_relaxed); node; node = node->next)
        node->domain->SetLanguage(language);
}

std::string TGnuGettextInstance::GetCurrentLanguage() const {
    std::shared_lock lock(lock_);
    return language_;
}

void GnuGettextStartup() {
    if (DefaultInstance)
        return;
    ExecutableFilename = OwnExecutablePath();
    // The program carries no catalogues inside itself (its marker's offset is 0): all come
    // from disk.
    {
        std::unique_lock lock(resourceDomainsLock);
        resourceDomains = std::make_unique<std::vector<std::string>>(1, "default");
    }
    std::string directory = std::filesystem::path(ExecutableFilename).parent_path().string();
    if (directory.empty()) // own path unknown: never fall back to the root directory
        directory = ".";
    DefaultInstance = new TGnuGettextInstance(directory + PathSeparator + "locale");
    SetResStringLoader(&ResStringLoaderEntry);
}

void GnuGettextShutdown() {
    if (!DefaultInstance)
        return;
    delete DefaultInstance;
    DefaultInstance = nullptr;
    {
        std::unique_lock lock(resourceDomainsLock);
        resourceDomains.reset();
    }
    SetResStringLoader(nullptr);
    ExecutableFilename.clear();
}

WideString gettext(const WideString& msgid) {
    return DefaultInstance ? DefaultInstance->gettext(msgid) : msgid;
}

WideString _(const WideString& msgid) {
    return gettext(msgid);
}

WideString dgettext(std::string_view domain, const WideString& msgid) {
    return DefaultInstance ? DefaultInstance->dgettext(domain, msgid) : msgid;
}

void textdomain(std::string_view domain) {
    if (DefaultInstance)
        DefaultInstance->textdomain(domain);
}

std::string getcurrenttextdomain() {
    return DefaultInstance ? DefaultInstance->getcurrenttextdomain() : std::string();
}

void bindtextdomain(std::string_view domain, std::string directory) {
    if (DefaultInstance)
        DefaultInstance->bindtextdomain(domain, std::move(directory));
}

void UseLanguage(std::string_view code) {
    if (DefaultInstance)
        DefaultInstance->UseLanguage(code);
}

std::string GetCurrentLanguage() {
    return DefaultInstance ? DefaultInstance->GetCurrentLanguage() : std::string();
}

std::vector<std::string> ResourceStringDomains() {
    std::shared_lock lock(resourceDomainsLock);
    return resourceDomains ? *resourceDomains : std::vector<std::string>();
}

void AddDomainForResourceString(std::string_view domain) {
    std::unique_lock lock(resourceDomainsLock);
    if (resourceDomains)
        resourceDomains->emplace_back(domain);
}

WideString LoadResString(const TResStringRec& rec) {
    WideString loaded = Loaded(rec.Text);
    std::shared_lock lock(resourceDomainsLock);
    if (!resourceDomains || resourceDomains->empty())
        return loaded;
    WideString answer;
    for (const std::string& domain : *resourceDomains) {
        answer = dgettext(domain, loaded);
        if (answer != loaded)
            break;
    }
    return answer;
}

WideString LoadResStringW(const TResStringRec& rec) {
    return gnugettext::LoadResString(rec);
}

std::string LoadResStringA(const TResStringRec& rec) {
    return WideToUtf8(gnugettext::LoadResString(rec));
}

} // namespace gnugettext
