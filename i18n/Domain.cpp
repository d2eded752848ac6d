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

} // namespace gnugettext
