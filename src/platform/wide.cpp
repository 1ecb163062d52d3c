// UTF-8 and UTF-16 conversions and the "\\?\" form of a path; plain code on
// every host (the Windows calls that use them are in platform_win.cpp).
#include "platform/wide.h"

#include <vector>

namespace {

bool iscontinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

bool isseparator(char16_t c) { return c == u'/' || c == u'\\'; }

bool isletter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

// "X:" at the start.
bool hasdrive(std::u16string_view p) { return p.size() >= 2 && isletter(p[0]) && p[1] == u':'; }

bool isunc(std::u16string_view p) { return p.size() >= 2 && isseparator(p[0]) && isseparator(p[1]); }

// Absolute with its own drive or share: "X:\..." or "\\server\share...".
bool fullpath(std::u16string_view p) {
    return isunc(p) || (hasdrive(p) && p.size() > 2 && isseparator(p[2]));
}

constexpr std::u16string_view LONGPREFIX = u"\\\\?\\";

// Appends the components of rest to parts: "." and empty ones dropped, ".."
// taking back the last one (never one of the root's, which are not in parts).
void addcomponents(std::vector<std::u16string_view>* parts, std::u16string_view rest) {
    std::size_t i = 0;
    while (i <= rest.size()) {
        std::size_t j = i;
        while (j < rest.size() && !isseparator(rest[j])) j++;
        std::u16string_view part = rest.substr(i, j - i);
        if (part == u"..") {
            if (!parts->empty()) parts->pop_back();
        } else if (!part.empty() && part != u".") {
            parts->push_back(part);
        }
        i = j + 1;
    }
}

// Root ("\\?\X:" or "\\?\UNC\server\share") and the rest of an absolute path
// with a drive or a UNC share.
void splitroot(std::u16string_view p, std::u16string* root, std::u16string_view* rest) {
    *root = LONGPREFIX;
    if (hasdrive(p)) {
        root->push_back(upper(p[0]));
        root->push_back(u':');
        *rest = p.substr(2);
        return;
    }
    // \\server\share: both names belong to the root.
    std::size_t i = 2;
    root->append(u"UNC");
    for (int names = 0; names < 2; names++) {
        std::size_t j = i;
        while (j < p.size() && !isseparator(p[j])) j++;
        root->push_back(u'\\');
        root->append(p.substr(i, j - i));
        i = j < p.size() ? j + 1 : j;
    }
    *rest = p.substr(i);
}

}  // namespace

bool utf8toutf16(std::string_view text, std::u16string* out) {
    out->clear();
    out->reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out->push_back(c);
            i++;
            continue;
        }
        std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (len == 0 || c > 0xF4 || i + len > text.size()) return false;
        char32_t cp = c & (0x7F >> len);
        for (std::size_t k = 1; k < len; k++) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if (!iscontinuation(cc)) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // The shortest form only, and nothing past the last code point.
        constexpr char32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

std::string utf16toutf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); i++) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        }
        // A lead byte that tells how many bytes follow, then six bits in each.
        int more = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        constexpr unsigned char lead[4] = {0x00, 0xC0, 0xE0, 0xF0};
        out.push_back(static_cast<char>(lead[more] | (cp >> (6 * more))));
        for (int k = more - 1; k >= 0; k--)
            out.push_back(static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F)));
    }
    return out;
}

std::size_t absolutelength(std::u16string_view path, std::size_t cwdlen) {
    if (fullpath(path)) return path.size();
    return cwdlen + 1 + path.size();
}

std::u16string longpathform(std::u16string_view path, std::u16string_view cwd) {
    if (path.starts_with(LONGPREFIX)) return std::u16string(path);
    std::u16string root;
    std::u16string_view rest;
    std::vector<std::u16string_view> parts;
    if (fullpath(path)) {
        splitroot(path, &root, &rest);
    } else if (hasdrive(path) && !(hasdrive(cwd) && upper(cwd[0]) == upper(path[0]))) {
        // Relative to a drive other than cwd's: from that drive's root.
        splitroot(path.substr(0, 2), &root, &rest);
        rest = path.substr(2);
    } else {
        // From cwd (on its drive, for a drive-relative path): cwd's root, then
        // its directories unless path starts at the root.
        splitroot(cwd, &root, &rest);
        if (path.empty() || !isseparator(path[0])) addcomponents(&parts, rest);
        rest = hasdrive(path) ? path.substr(2) : path;
    }
    addcomponents(&parts, rest);
    std::u16string out = root;
    for (std::u16string_view part : parts) out.append(u"\\").append(part);
    if (parts.empty()) out.push_back(u'\\');
    return out;
}
