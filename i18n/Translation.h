#pragma once
// The translation runtime: GNU gettext MO catalogues found by language and text domain in a
// "locale" directory beside the executable. Texts are UTF-8 inside catalogues and wide
// (UTF-16) at this interface.
//
// Start-up is explicit: GnuGettextStartup() runs before the serial layer's start-up and before
// any window exists; GnuGettextShutdown() undoes it at exit.
#include "framework/ResString.h"
#include "i18n/MoFile.h"
#include "i18n/PluralForms.h"

#include <atomic>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace gnugettext {

using WideString = std::u16string;

// One text domain: its catalogue for one language, opened at its first lookup.
class TDomain {
public:
    TDomain(std::string name, std::string directory, std::string language);

    const std::string& Name() const { return name_; }
    std::string Directory() const;
    std::string Language() const;
    // Both close the catalogue; the next lookup searches for it again.
    void SetDirectory(std::string directory);
    void SetLanguage(std::string language);
    // Closes the catalogue and answers every lookup as if it had none, until the language or
    // the directory is set again. False when it was already so.
    bool GiveUpCatalogue();

    // The catalogue's translation of `msgid` (UTF-8) into `answer`, or `msgid` itself.
    // Throws the catalogue's failure; a failed open is tried again at the next lookup.
    void GetTranslation(std::string_view msgid, std::string& answer);
    // The catalogue's form of `singular`/`plural` for the count `n` by its plural rule, or
    // the English form (singular for 1) when it has no entry.
    void GetPluralTranslation(std::string_view singular, std::string_view plural, unsigned long n,
                              std::string& answer);

private:
    enum class TState { Untried, Open, Absent };
    void OpenCatalogue();
    void CloseCatalogue();

    const std::string name_;
    std::string directory_;
    std::string language_;
    TState state_ = TState::Untried;
    TPluralRule pluralRule_;
    TMoFile file_;
    // Open and close write; a search reads, so a close never frees the file under a reader.
    mutable std::shared_mutex lock_;
};

class TGnuGettextInstance {
public:
    // Binds and selects "default" in `localeDirectory` with the language from the environment.
    explicit TGnuGettextInstance(std::string localeDirectory);
    TGnuGettextInstance(const TGnuGettextInstance&) = delete;
    TGnuGettextInstance& operator=(const TGnuGettextInstance&) = delete;
    ~TGnuGettextInstance();

    std::atomic<bool> Enabled{true};
    // When set (before the first lookup), a catalogue that fails, at its open or in a lookup,
    // is handed here once with the failure's message instead of being thrown; its domain then
    // answers as one without a catalogue until its language or directory is set again.
    std::function<void(const std::string& message)> OnBrokenCatalogue;
    const std::string& LocaleDirectory() const { return localeDirectory_; }

    WideString gettext(const WideString& msgid);
    WideString dgettext(std::string_view domain, const WideString& msgid);
    // The same lookup on UTF-8 text, line ends normalised, without the wide conversion; the
    // second form reuses the caller's buffer.
    std::string dgettextUtf8(std::string_view domain, std::string_view msgid);
    void dgettextUtf8(std::string_view domain, std::string_view msgid, std::string& answer);
    // The form of `singular`/`plural` for the count `n` (UTF-8, line ends normalised).
    std::string dngettextUtf8(std::string_view domain, std::string_view singular,
                              std::string_view plural, unsigned long n);

    void textdomain(std::string_view domain);
    std::string getcurrenttextdomain() const;
    void bindtextdomain(std::string_view domain, std::string directory);
    // An empty code takes the language from the environment.
    void UseLanguage(std::string_view code);
    std::string GetCurrentLanguage() const;

private:
    TDomain& Domain(std::string_view name);

    const std::string localeDirectory_;
    std::string currentDomain_;
    std::string language_;
    // The domain list only grows: lookups walk it without a lock, additions are published
    // under lock_. Keys are the names in lower case (domain names ignore letter case).
    struct TDomainNode {
        std::string key;
        std::unique_ptr<TDomain> domain;
        TDomainNode* next;
    };
    std::atomic<TDomainNode*> domains_{nullptr};
    // Guards additions to the domain list, the current domain and the language.
    mutable std::shared_mutex lock_;
};

// The language code from the environment: LANG, then LC_ALL, then LC_MESSAGES, else "C";
// cut before its first "."; a value that could leave the locale directory gives "C".
std::string LanguageFromEnvironment();

// UTF-8 to wide text; nullopt when the bytes are not valid UTF-8.
std::optional<WideString> Utf8ToWide(std::string_view text);
// Wide text to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(std::u16string_view text);

extern std::string ExecutableFilename;
extern TGnuGettextInstance* DefaultInstance;

void GnuGettextStartup();
void GnuGettextShutdown();

// Lookups through DefaultInstance; without one (before start-up or after exit) the input
// comes back unchanged.
WideString gettext(const WideString& msgid);
WideString _(const WideString& msgid);
WideString dgettext(std::string_view domain, const WideString& msgid);
void textdomain(std::string_view domain);
std::string getcurrenttextdomain();
void bindtextdomain(std::string_view domain, std::string directory);
void UseLanguage(std::string_view code);
std::string GetCurrentLanguage();

// The domains searched for resource strings, in order: "default", then those added.
std::vector<std::string> ResourceStringDomains();
void AddDomainForResourceString(std::string_view domain);

// A resource string, translated by the first resource-string domain that changes it.
WideString LoadResString(const TResStringRec& rec);
WideString LoadResStringW(const TResStringRec& rec);
// The same as UTF-8; this is what the framework's resource-string loader reaches.
std::string LoadResStringA(const TResStringRec& rec);

} // namespace gnugettext
