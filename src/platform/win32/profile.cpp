// The settings file through the system's profile functions.
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

uint32_t ReadProfileInt(const char *section, const char *key, uint32_t fallback,
                        const char *path) {
    return GetPrivateProfileIntA(section, key, static_cast<INT>(fallback), path);
}

bool ReadProfileString(const char *section, const char *key, std::string &value,
                       const char *path) {
    // A default no file can hold tells a missing key from an empty one.
    static constexpr char kMissing[] = "\x01";
    char buffer[1024] = {};
    const DWORD length =
        GetPrivateProfileStringA(section, key, kMissing, buffer, sizeof buffer, path);
    if (std::strcmp(buffer, kMissing) == 0) return false;
    value.assign(buffer, length);
    const size_t first = value.find_first_not_of(" \t");
    const size_t last = value.find_last_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    return true;
}

} // namespace zorcomm::platform
