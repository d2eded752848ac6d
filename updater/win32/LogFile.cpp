// Appending to a shared log on Windows: LockFileEx, FlushFileBuffers, SetEndOfFile.
#include "updater/LogFile.h"

#include "updater/OpenFailure.h"

#include <windows.h>

namespace {

std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
    out.resize(n > 0 ? n - 1 : 0);
    return out;
}

bool EndsInNewline(HANDLE file, LARGE_INTEGER size) {
    if (size.QuadPart == 0)
        return true;
    OVERLAPPED at{};
    const ULONGLONG last = size.QuadPart - 1;
    at.Offset = static_cast<DWORD>(last);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char c = '\n';
    DWORD read = 0;
    return ReadFile(file, &c, 1, &read, &at) && read == 1 && c == '\n';
}

bool Append(HANDLE file, const std::string& line, std::string& error, int& errorCode) {
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        errorCode = static_cast<int>(GetLastError());
        error = "cannot lock: " + SystemErrorText(errorCode);
        return false;
    }
    LARGE_INTEGER size{};
    bool written = false;
    if (GetFileSizeEx(file, &size)) {
        const std::string text = (EndsInNewline(file, size) ? "" : "\n") + line + "\n";
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(size.QuadPart);
        at.OffsetHigh = static_cast<DWORD>(size.QuadPart >> 32);
        DWORD n = 0;
        written = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &n, &at) &&
                  n == text.size() && FlushFileBuffers(file);
        if (!written) {
            errorCode = static_cast<int>(GetLastError());
            error = errorCode ? SystemErrorText(errorCode) : "short write";
            // Under the lock nobody else wrote past the old end.
            SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
            SetEndOfFile(file);
        }
    } else {
        errorCode = static_cast<int>(GetLastError());
        error = SystemErrorText(errorCode);
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    return written;
}

} // namespace

bool AppendLogLine(const std::string& path, const std::string& line, std::string& error,
                   int& errorCode) {
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errorCode = static_cast<int>(GetLastError());
        error = SystemErrorText(errorCode);
        return false;
    }
    const bool written = Append(file, line, error, errorCode);
    CloseHandle(file);
    return written;
}
