// Host facts that need only the C runtime: the UTC date stamp and the
// directory-style domain path derived from the host name.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/driver.h"
#include "ending/ending.h"

// The current UTC time as YYYYMMDDhhmmssZ.
void getdatetime(char* buf, std::size_t cap) {
    std::time_t now = std::time(nullptr);
    const std::tm* utc = std::gmtime(&now);
    if (utc == nullptr) {
        int err = errno;
        die("gmtime error: %s (%d)\n", std::strerror(err), err);
    }
    std::snprintf(buf, cap, "%04d%02d%02d%02d%02d%02dZ", utc->tm_year + 1900, utc->tm_mon + 1,
                  utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec);
}

// Every label after the host's own name becomes one "dc=" component:
// build7.lab.example.org gives dc=lab,dc=example,dc=org. A name without a
// dot, or a path that does not fit in the buffer, gives "dc=com"; the path is
// never cut short.
int getdcpath(const char* hostname, char* buf, std::size_t cap) {
    std::size_t used = 0;
    for (const char* dot = std::strchr(hostname, '.'); dot != nullptr;) {
        const char* label = dot + 1;
        dot = std::strchr(label, '.');
        int length = static_cast<int>(dot != nullptr ? dot - label : std::strlen(label));
        int count = std::snprintf(buf + used, cap - used, "%sdc=%.*s", used != 0 ? "," : "",
                                  length, label);
        if (count < 0 || used + static_cast<std::size_t>(count) >= cap)
            return std::snprintf(buf, cap, "dc=com");
        used += static_cast<std::size_t>(count);
    }
    return used != 0 ? static_cast<int>(used) : std::snprintf(buf, cap, "dc=com");
}
