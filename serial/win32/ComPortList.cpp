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

// The value's text: the returned count includes the terminating zero, so it is the first
// count - 1 bytes. Empty data (a count of 0) gives an empty name, not a read before the buffer.
std::string ValueText(const char* data, DWORD count) {
    return count == 0 ? std::string() : std::string(data, count - 1);
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
    // The key is missing on a PC without serial ports (a laptop before its USB adapter is
    // plugged in): no port to list, not a failure.
    if (rc == ERROR_FILE_NOT_FOUND) {
        list.clear();
        return;
    }
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
