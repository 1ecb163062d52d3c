// Names that Windows forbids or treats specially.
#include "text/winnames.h"

#include <array>

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameascii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

constexpr std::array<std::string_view, 4> DEVICES = {"CON", "PRN", "AUX", "NUL"};
constexpr std::array<std::string_view, 2> NUMBERED = {"COM", "LPT"};
// The digits after COM and LPT that make a device name: 1 to 9, and the
// superscript digits 1, 2 and 3 (in UTF-8), which Windows takes as those.
constexpr std::array<std::string_view, 12> DEVICEDIGITS = {
    "1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};

// The name before its first dot, without the blanks before that dot, names
// a device: Windows opens the device for "nul.txt" or "COM1 .log" too.
bool isdevice(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    for (std::string_view device : DEVICES)
        if (sameascii(stem, device)) return true;
    if (stem.size() < 4) return false;
    for (std::string_view prefix : NUMBERED) {
        if (!sameascii(stem.substr(0, 3), prefix)) continue;
        for (std::string_view digit : DEVICEDIGITS)
            if (stem.substr(3) == digit) return true;
    }
    return false;
}

struct reservedchar {
    char c;
    const char* reason;
};

constexpr reservedchar RESERVED[] = {
    {'<', "holds '<'"}, {'>', "holds '>'"}, {':', "holds ':'"}, {'"', "holds '\"'"},
    {'|', "holds '|'"}, {'?', "holds '?'"}, {'*', "holds '*'"},
};

bool isdrive(std::string_view name) {
    return name.size() == 2 && upper(name[0]) >= 'A' && upper(name[0]) <= 'Z' && name[1] == ':';
}

}  // namespace

const char* windowsforbidden(std::string_view name) {
    if (name == "." || name == "..") return nullptr;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return "holds a control character";
        for (const reservedchar& r : RESERVED)
            if (c == r.c) return r.reason;
    }
    if (isdevice(name)) return "a device name";
    if (!name.empty() && name.back() == '.') return "ends in a dot";
    if (!name.empty() && name.back() == ' ') return "ends in a blank";
    return nullptr;
}

const char* windowsforbiddenpath(std::string_view path, std::string_view* name) {
    std::size_t start = !path.empty() && path[0] == '/' ? 1 : 0;
    bool first = true;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!(first && isdrive(part))) {
            if (const char* reason = windowsforbidden(part)) {
                *name = part;
                return reason;
            }
        }
        first = false;
        start = end + 1;
    }
    return nullptr;
}
