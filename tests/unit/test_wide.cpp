// UTF-8 and UTF-16 conversions and the "\\?\" form of long paths.
#include "gtestfp.h"

#include <string>

#include "platform/wide.h"

namespace {

TEST(wide, valid_utf8_converts_and_comes_back) {
    struct row {
        const char* utf8;
        std::u16string utf16;
    };
    const row rows[] = {
        {"", u""},
        {"plain.txt", u"plain.txt"},
        {"h\xC3\xA9llo_w\xC3\xB6rld", u"h\u00E9llo_w\u00F6rld"},
        {"\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF", u"\u30C7\u30FC\u30BF"},
        {"\xF0\x9F\x98\x80.txt", u"\U0001F600.txt"},
        {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\uFFFF\U0010FFFF"},
        // An unpaired surrogate, as a name Windows holds may have one.
        {"a\xED\xA0\x80z", std::u16string{u'a', char16_t(0xD800), u'z'}},
    };
    for (const row& r : rows) {
        std::u16string out = u"junk";
        EXPECT_TRUE(utf8toutf16(r.utf8, &out)) << r.utf8;
        EXPECT_EQ(out, r.utf16) << r.utf8;
        EXPECT_EQ(utf16toutf8(r.utf16), r.utf8) << r.utf8;
    }
}

TEST(wide, invalid_utf8_is_refused) {
    const char* rows[] = {
        "caf\xE9",             // a legacy code page's single byte
        "\x80",                // a continuation byte alone
        "\xC3",                // cut short at the end
        "\xE3\x83z",           // cut short before a plain character
        "\xC0\xAF",            // overlong '/'
        "\xE0\x80\xAF",        // overlong '/' in three bytes
        "\xF0\x80\x80\xAF",    // overlong '/' in four bytes
        "\xF4\x90\x80\x80",    // past U+10FFFF
        "\xF8\x88\x80\x80\x80",  // five-byte form
        "\xFF",
    };
    for (const char* text : rows) {
        std::u16string out;
        EXPECT_FALSE(utf8toutf16(text, &out)) << text;
    }
}

TEST(wide, long_path_form) {
    struct row {
        std::u16string path;
        std::u16string cwd;
        std::u16string expected;
    };
    const row rows[] = {
        {u"out/bin/a.exe", u"C:\\work", u"\\\\?\\C:\\work\\out\\bin\\a.exe"},
        {u"./out//bin/./a.exe", u"C:\\work\\", u"\\\\?\\C:\\work\\out\\bin\\a.exe"},
        {u"../up/a", u"C:\\work\\dir", u"\\\\?\\C:\\work\\up\\a"},
        {u"../../../a", u"c:\\w", u"\\\\?\\C:\\a"},  // never above the root
        {u"d:/x/../y", u"C:\\work", u"\\\\?\\D:\\y"},
        {u"/top/a", u"E:\\work", u"\\\\?\\E:\\top\\a"},
        {u"C:rel\\a", u"C:\\work", u"\\\\?\\C:\\work\\rel\\a"},
        {u"D:rel", u"C:\\work", u"\\\\?\\D:\\rel"},
        {u"\\\\server\\share\\d\\..\\f", u"C:\\w", u"\\\\?\\UNC\\server\\share\\f"},
        {u"rel\\f", u"\\\\server\\share\\w", u"\\\\?\\UNC\\server\\share\\w\\rel\\f"},
        {u"\\top", u"\\\\server\\share\\w", u"\\\\?\\UNC\\server\\share\\top"},
        {u"\\\\?\\C:\\as\\is", u"D:\\w", u"\\\\?\\C:\\as\\is"},
        {u"C:/", u"D:\\w", u"\\\\?\\C:\\"},
    };
    for (const row& r : rows)
        EXPECT_EQ(longpathform(r.path, r.cwd), r.expected) << utf16toutf8(r.path);
}

TEST(wide, absolute_length_counts_the_working_directory_for_relative_paths) {
    EXPECT_EQ(absolutelength(u"a/b", 10), 14u);
    EXPECT_EQ(absolutelength(u"/a/b", 10), 15u);
    EXPECT_EQ(absolutelength(u"C:\\a\\b", 10), 6u);
    EXPECT_EQ(absolutelength(u"\\\\srv\\s\\a", 10), 9u);
}

}  // namespace
