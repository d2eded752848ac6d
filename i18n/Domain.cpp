#include "i18n/Translation.h"

#include "i18n/Platform.h"

#include <mutex>

namespace gnugettext {

namespace {

void EndWithSeparator(std::string& directory) {
    if (directory.empty() || !IsPathSeparator(directory.back()))
        directory += PathSeparator;
}

} // namespace

TDomain::TDomain(std::string name, std::string directory, std::string language)
    : name_(std::move(name)), language_(std::move(language)) {
    EndWithSeparator(directory);
    directory_ = std::move(directory);
}

std::string TDomain::Directory() const {
    std::shared_lock lock(lock_);
    return directory_;
}

std::string TDomain::Language() const {
    std::shared_lock lock(lock_);
    return language_;
}

void TDomain::SetDirectory(std::string directory) {
    EndWithSeparator(directory);
    std::unique_lock lock(lock_);
    CloseCatalogue();
    directory_ = std::move(directory);
}

void TDomain::SetLanguage(std::string language) {
    std::unique_lock lock(lock_);
    CloseCatalogue();
    language_ = std::move(language);
}

bool TDomain::GiveUpCatalogue() {
    std::unique_lock lock(lock_);
    const bool was = state_ != TState::Absent;
    file_.Close();
    state_ = TState::Absent;
    return was;
}

void TDomain::CloseCatalogue() {
    file_.Close();
    state_ = TState::Untried;
}

void TDomain::OpenCatalogue() {
    std::string tail =
        std::string(1, PathSeparator) + "LC_MESSAGES" + PathSeparator + name_ + ".mo";
    std::string path = directory_ + language_ + tail;
    if (!PathExists(path)) {
        path = directory_ + language_.substr(0, 2) + tail;
        if (!PathExists(path)) {
            state_ = TState::Absent;
            return;
        }
    }
    file_.Open(path); // throws; the state stays untried
    auto header = file_.Find("");
    pluralRule_ = TPluralRule::FromHeader(header ? *header : std::string_view());
    state_ = TState::Open;
}

void TDomain::GetTranslation(std::string_view msgid, std::string& answer) {
    {
        std::shared_lock lock(lock_);
        if (state_ != TState::Untried) {
            auto found = state_ == TState::Open ? file_.Find(msgid) : std::nullopt;
            answer.assign(found ? *found : msgid);
            return;
        }
    }
    {
        std::unique_lock lock(lock_);
        if (state_ == TState::Untried)
            OpenCatalogue();
    }
    // Another thread may close it again in between; the next lookup then reopens.
    std::shared_lock lock(lock_);
    auto found = state_ == TState::Open ? file_.Find(msgid) : std::nullopt;
    answer.assign(found ? *found : msgid);
}

void TDomain::GetPluralTranslation(std::string_view singular, std::string_view plural,
                                   unsigned long n, std::string& answer) {
    {
        std::unique_lock lock(lock_);
        if (state_ == TState::Untried)
            OpenCatalogue();
    }
    std::shared_lock lock(lock_);
    // msgfmt keys a plural entry by both English forms with a NUL between them, and keeps the
    // translated forms in one text the same way.
    std::string key(singular);
    key += '\0';
    key += plural;
    auto found = state_ == TState::Open ? file_.Find(key) : std::nullopt;
    if (!found) {
        answer.assign(n == 1 ? singular : plural);
        return;
    }
    std::string_view forms = *found;
    for (unsigned long index = pluralRule_.Choose(n); index > 0; --index) {
        size_t end = forms.find('\0');
        if (end == std::string_view::npos) {
            forms = found->substr(0, found->find('\0')); // fewer forms than the rule names
            break;
        }
        forms.remove_prefix(end + 1);
    }
    answer.assign(forms.substr(0, forms.find('\0')));
}

} // namespace gnugettext
