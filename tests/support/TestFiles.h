#pragma once
// Small file helpers the test programs share: a fresh folder removed with everything in it,
// a whole file as text, a substring check.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/quorvel-test-XXXXXX";
        if (!mkdtemp(name))
            throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// An environment variable set for a test's span, then as it was.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* was = std::getenv(name)) {
            had_ = true;
            was_ = was;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, was_.c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string was_;
};

// A ports.conf of `lines` in a fresh configuration folder that the program reads while it lives.
class PortsConfFile {
public:
    explicit PortsConfFile(const std::string& lines) : env_("XDG_CONFIG_HOME", dir_.Path()) {
        std::filesystem::create_directories(dir_ / "quorvel");
        std::ofstream(dir_ / "quorvel/ports.conf") << lines;
    }

private:
    TempDir dir_;
    ScopedEnv env_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
