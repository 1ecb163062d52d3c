// The JSON text of the report: escaping, the test for valid UTF-8 and the
// base64 form of names that are not.
#include "report/report.h"

#include "gtestfp.h"

#include <string>

namespace {

struct escapecase {
    std::string in;
    std::string out;
    bool valid;
};

TEST(reporttest, jsonescapekeepsutf8andmarksotherbytes) {
    const std::string fffd = "\xef\xbf\xbd";
    const escapecase cases[] = {
        {"plain/path with blanks", "plain/path with blanks", true},
        {"q\"b\\s", "q\\\"b\\\\s", true},
        {std::string("\n\r\t\x01\x1f\x7f", 6), "\\n\\r\\t\\u0001\\u001f\x7f", true},
        {std::string("a\0b", 3), "a\\u0000b", true},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
        {"caf\xe9", "caf" + fffd, false},              // a Latin-1 byte
        {"\xc0\xaf", fffd + fffd, false},              // overlong '/'
        {"\xe0\x80\xaf", fffd + fffd + fffd, false},   // overlong, three bytes
        {"\xed\xa0\x80", fffd + fffd + fffd, false},   // a surrogate
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd, false},  // above U+10FFFF
        {"\xe2\x82", fffd + fffd, false},              // cut short at the end
        {"\xe2\x82x", fffd + fffd + "x", false},       // cut short inside
        {"\x80", fffd, false},                         // a lone continuation byte
        {"\xed\x9f\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf", "\xed\x9f\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf",
         true},                                         // the edges of the valid ranges
        {"\xc1\xbf", fffd + fffd, false},              // overlong, two bytes
        {"\xf5\x80\x80\x80", fffd + fffd + fffd + fffd, false},  // no lead byte above 0xf4
    };
    for (const escapecase& c : cases) {
        std::string out = "[";
        EXPECT_EQ(jsonescape(&out, c.in), c.valid) << c.in;
        EXPECT_EQ(out, "[" + c.out) << c.in;
    }
}

TEST(reporttest, base64withpadding) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"\xff\xfe\xfd", "//79"},
        {"caf\xe9", "Y2Fm6Q=="}, {"fooba", "Zm9vYmE="},
    };
    for (const auto& [in, want] : cases) {
        std::string out;
        base64(&out, in);
        EXPECT_EQ(out, want) << in;
    }
}

}  // namespace
