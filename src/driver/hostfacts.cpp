// Host facts that need only the C runtime: the UTC date stamp and the
// directory-style domain path derived from the host name.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/driver.h"
#include "ending/ending.h"
#include "platform/platform.h"

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

namespace {

// True when a formatter's count says the text was written whole into room.
bool fits(int count, std::size_t room) {
    return count >= 0 && static_cast<std::size_t>(count) < room;
}

}  // namespace

// Every label after the host's own name becomes one "dc=" component:
// build7.lab.example.org gives dc=lab,dc=example,dc=org. A name without a
// dot, or a path that does not fit in the buffer, gives "dc=com"; the path is
// never cut short.
int getdcpath(const char* hostname, char* buf, std::size_t cap) {
    const char* label = std::strchr(hostname, '.');
    if (label == nullptr) return std::snprintf(buf, cap, "dc=com");
    ++label;
    char* out = buf;
    std::size_t room = cap;
    const char* sep = "";
    for (const char* dot; (dot = std::strchr(label, '.')) != nullptr; label = dot + 1) {
        int count = std::snprintf(out, room, "%sdc=%.*s", sep, static_cast<int>(dot - label), label);
        if (!fits(count, room)) return std::snprintf(buf, cap, "dc=com");
        out += count;
        room -= static_cast<std::size_t>(count);
        sep = ",";
    }
    int count = std::snprintf(out, room, "%sdc=%s", sep, label);
    if (!fits(count, room)) return std::snprintf(buf, cap, "dc=com");
    return count;
}
