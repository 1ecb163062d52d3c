// Names Windows forbids or treats specially.
#include "gtestfp.h"

#include <string>
#include <string_view>

#include "text/winnames.h"

namespace {

TEST(winnames, single_names) {
    struct row {
        std::string_view name;
        const char* reason;  // null: allowed
    };
    const row rows[] = {
        {"notes", nullptr}, {"notes.txt", nullptr}, {"h\xC3\xA9llo", nullptr},
        {".hidden", nullptr}, {".", nullptr}, {"..", nullptr}, {"CONSOLE", nullptr},
        {"COM10", nullptr}, {"COM0", nullptr}, {"LPT", nullptr}, {"xnul", nullptr},
        {"a b", nullptr},
        {"CON", "a device name"}, {"con", "a device name"}, {"Prn.txt", "a device name"},
        {"aux.tar.gz", "a device name"}, {"nul.txt", "a device name"},
        {"NUL .txt", "a device name"}, {"com1", "a device name"}, {"COM9.log", "a device name"},
        {"lpt5", "a device name"}, {"LPT\xC2\xB9", "a device name"},
        {"notes.", "ends in a dot"}, {"...", "ends in a dot"}, {"notes ", "ends in a blank"},
        {"a<b", "holds '<'"}, {"a>b", "holds '>'"}, {"a:b", "holds ':'"}, {"C:", "holds ':'"},
        {"say\"hi\"", "holds '\"'"}, {"a|b", "holds '|'"}, {"what?", "holds '?'"},
        {"*.txt", "holds '*'"}, {"tab\there", "holds a control character"},
        {"\x1f", "holds a control character"},
    };
    for (const row& r : rows) {
        const char* got = windowsforbidden(r.name);
        if (r.reason == nullptr)
            EXPECT_EQ(got, nullptr) << r.name;
        else
            EXPECT_STREQ(got, r.reason) << r.name;
    }
}

TEST(winnames, paths_name_the_component_and_allow_a_leading_drive) {
    struct row {
        std::string_view path;
        std::string_view bad;  // empty: allowed
    };
    const row rows[] = {
        {"bin/sub/a.txt", ""}, {"/C:/Program Files/x", ""}, {"x:", ""}, {"d:/data", ""},
        {"bin//a", ""},
        {"bin/x:/a", "x:"}, {"bin/C:", "C:"}, {"bin/nul/a.txt", "nul"}, {"a/b/notes.", "notes."},
        {"/CON", "CON"}, {"C:/aux.h", "aux.h"},
    };
    for (const row& r : rows) {
        std::string_view bad = "unset";
        const char* reason = windowsforbiddenpath(r.path, &bad);
        if (r.bad.empty()) {
            EXPECT_EQ(reason, nullptr) << r.path;
        } else {
            EXPECT_NE(reason, nullptr) << r.path;
            EXPECT_EQ(bad, r.bad) << r.path;
        }
    }
}

}  // namespace
