// The serial ports present on Windows: the data of the values under SERIALCOMM.
#include "serial/ComPort.h"

#include <algorithm>

#include <windows.h>

namespace {

// Closes the key on every way out, errors included.
struct TKey {
    HKEY key = nullptr;
    ~TKey() {
        if (key)
            RegCloseKey(key);
    }
};

// The value's text: its data up to the terminating zero. A count of 0, or data that lacks
// its zero, must not lose or invent a character.
std::string ValueText(const char* data, DWORD count) {
    std::string text(data, count);
    size_t end = text.find('\0');
    return end == std::string::npos ? text : text.substr(0, end);
}

} // namespace

bool ComPortNameLess(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_LESS_THAN;
}

void EnumComPorts(std::vector<std::string>& list) {
    TKey key;
    LONG rc =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key.key);
    if (rc != ERROR_SUCCESS)
        throw EComPort(mcRegistryError, static_cast<int>(rc));
    std::vector<std::string> found;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof name, dataSize = sizeof data;
        rc = RegEnumValueA(key.key, index, name, &nameSize, nullptr, nullptr, data, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            throw EComPort(mcRegistryError, static_cast<int>(rc));
        found.push_back(ValueText(reinterpret_cast<const char*>(data), dataSize));
    }
    std::stable_sort(found.begin(), found.end(), ComPortNameLess);
    list = std::move(found);
}
