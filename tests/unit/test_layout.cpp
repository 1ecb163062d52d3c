// Names and paths read back from the tool's state: which may stand in a
// field, and the tool's own file names.
#include <gtest/gtest.h>

#include <string>

#include "layout/layout.h"

namespace {

struct fieldcase {
    fieldkind kind;
    const char* value;
    const char* why;  // null: accepted
};

constexpr fieldcase fieldcases[] = {
    // What the tool itself writes.
    {fieldkind::path, "", nullptr},
    {fieldkind::path, "/", nullptr},
    {fieldkind::path, "/opt", nullptr},
    {fieldkind::path, "./BIN/", nullptr},
    {fieldkind::path, "doc/my notes", nullptr},
    {fieldkind::path, "a..b/.x", nullptr},
    {fieldkind::name, "readme", nullptr},
    {fieldkind::name, ".profile", nullptr},
    {fieldkind::path, "/C:/Program Files/x", nullptr},
    {fieldkind::path, "/c:", nullptr},
    {fieldkind::name, "a:b", "a drive letter"},
    {fieldkind::package, "-", nullptr},
    {fieldkind::package, "-/x", nullptr},
    {fieldkind::package, "core", nullptr},
    // What could lead elsewhere.
    {fieldkind::path, "doc/..", "'..' leads out of the destination"},
    {fieldkind::path, "doc/... /x", "'..' leads out of the destination"},
    {fieldkind::path, "doc/.. ", "'..' leads out of the destination"},
    {fieldkind::path, "//x", "an absolute path"},
    {fieldkind::path, "/\\x", "an absolute path"},
    {fieldkind::path, "\\x", "an absolute path"},
    {fieldkind::path, "x\\..\\y", "'..' leads out of the destination"},
    {fieldkind::path, "z:", "a drive letter"},
    {fieldkind::path, "doc/Z:x", "a drive letter"},
    {fieldkind::name, "", "an empty name"},
    {fieldkind::name, ".", "'.' is not a name"},
    {fieldkind::name, "a/b", "a separator where a name belongs"},
    {fieldkind::name, "c:", "a drive letter"},
    {fieldkind::name, "ab:c", "holds ':'"},
    {fieldkind::path, "/C:x", "a drive letter"},
    {fieldkind::path, "doc/nul.txt", "a device name"},
    {fieldkind::package, "notes.", "ends in a dot"},
    {fieldkind::package, "", "an empty name"},
    {fieldkind::package, "a\\b", "a separator where a name belongs"},
};

}  // namespace

TEST(layout, fieldchecks) {
    for (const fieldcase& c : fieldcases) {
        const char* why = fieldproblem(c.kind, c.value);
        EXPECT_STREQ(why, c.why) << "'" << c.value << "' as kind " << static_cast<int>(c.kind);
    }
}

TEST(layout, ownfiles) {
    char buf[64];
    struct {
        const char* destdir;
        ownfile which;
        const char* pkg;
        bool temp;
        const char* path;
    } cases[] = {
        {"dest", ownfile::manifest, nullptr, false, "dest/manifest.txt"},
        {"dest", ownfile::manifest, nullptr, true, "dest/manifestTMPZ.txt"},
        {"/abs", ownfile::sums, nullptr, true, "abs/manifestTMPZ.sums"},
        {"", ownfile::lock, nullptr, false, "manifest.lock"},
        {"d", ownfile::perm, "core", true, "d/permTMPZ.core"},
        {"d", ownfile::journal, nullptr, false, "d/manifest.journal"},
    };
    for (const auto& c : cases) {
        ASSERT_GE(ownpath(buf, sizeof buf, c.destdir, c.which, c.pkg, c.temp), 0);
        EXPECT_EQ(std::string(buf), c.path);
    }
    EXPECT_EQ(ownpath(buf, 16, "a-long-destination", ownfile::manifest), -1);
}
