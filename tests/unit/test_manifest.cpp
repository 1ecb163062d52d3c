// Manifest records and permission-file records written from hand-built trees.
#include "gtestfp.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "run/run.h"
#include "manifest/manifest.h"
#include "perm/perm.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

// Owns the entries and types of one hand-built tree.
struct treebuilder {
    std::vector<std::unique_ptr<fileinfo>> entries;
    std::vector<std::unique_ptr<filetype>> types;

    filetype* type(const char* name, const char* suffix, flagword flags, unsigned mode = 0644,
                   const char* owner = "root", const char* group = "root") {
        auto t = std::make_unique<filetype>();
        t->typename_ = name;
        t->suffix = suffix;
        t->flags = flags;
        t->mode = mode;
        t->ownertok = owner;
        t->grouptok = group;
        types.push_back(std::move(t));
        return types.back().get();
    }

    // An entry whose dstpath is "dir/name" (or just name), appended to the
    // child list of parent (or to *top when parent is null).
    fileinfo* add(fileinfo** top, fileinfo* parent, const char* dstpath, const char* name,
                  const char* pkg, filetype* ftype, flagword flags) {
        auto e = std::make_unique<fileinfo>();
        e->dstpath = const_cast<char*>(dstpath);
        e->dstlen = static_cast<std::uint32_t>(std::strlen(dstpath));
        e->name = const_cast<char*>(name);
        e->namelen = static_cast<std::uint32_t>(std::strlen(name));
        e->pkgname = const_cast<char*>(pkg);
        e->basedir = const_cast<char*>("/work");
        e->ftype = ftype;
        e->flags = flags | (ftype != nullptr ? ftype->flags : 0);
        e->parent = parent;
        fileinfo** link = parent != nullptr ? &parent->child : top;
        while (*link != nullptr) link = &(*link)->next;
        *link = e.get();
        entries.push_back(std::move(e));
        return entries.back().get();
    }
};

// What a writer returned, wrote and printed.
struct written {
    int rc;
    std::string text;
    std::string err;
};

// Runs write on a fresh temporary file.
template <typename Write>
written capture(Write write) {
    std::FILE* f = std::tmpfile();
    testing::internal::CaptureStderr();
    written w{write(f), "", testing::internal::GetCapturedStderr()};
    std::rewind(f);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) w.text.append(buf, n);
    std::fclose(f);
    return w;
}

written writerecords(fileinfo* first, bool pkgmode) {
    return capture([&](std::FILE* f) { return writeentries(f, first, pkgmode); });
}

// Writes the records of one package of the tree, as one permission file.
written writepackage(fileinfo* dirtree, fileinfo* roottree, const char* pkg) {
    return capture([&](std::FILE* f) {
        writeperms(permfile{pkg, f, ""}, dirtree, roottree, nullptr);
        return 0;
    });
}

}  // namespace

TEST(writeentries, recordsinorderwithoptionalfields) {
    treebuilder b;
    fileinfo* top = nullptr;
    filetype* dirt = b.type("dir", nullptr, F_DIR);
    filetype* exe = b.type("prog", "exe", F_FILE | P_ALL);
    filetype* txt = b.type("text", nullptr, F_FILE | P_WIN32);
    fileinfo* bin = b.add(&top, nullptr, "", "bin", "-", dirt, 0);
    fileinfo* tool = b.add(&top, bin, "bin", "tool", "core", exe, F_SUBSTITUTE);
    tool->srcdir = const_cast<char*>("src1");
    fileinfo* link = b.add(&top, bin, "bin", "tl", "core", nullptr, F_SYMLINK);
    link->existing = const_cast<char*>("tool.exe");
    fileinfo* readme = b.add(&top, nullptr, "", "readme", "docs", txt, 0);
    readme->srcdir = const_cast<char*>("src2");

    written w = writerecords(top, false);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(w.text,
              "\nnam=tool\next=exe\ndst=bin\npkg=core\nbas=/work\nsrc=src1\ntyp=prog\n"
              "flg=all,substitute,*file\n"
              "\nnam=tl\ndst=bin\npkg=core\nbas=/work\nexi=tool.exe\nflg=*symlink\n"
              "\nnam=readme\npkg=docs\nbas=/work\nsrc=src2\ntyp=text\nflg=win32,*file\n");
}

TEST(writeentries, absoluteentriesgetleadingslash) {
    treebuilder b;
    fileinfo* top = nullptr;
    filetype* dirt = b.type("dir", nullptr, F_DIR);
    filetype* cfg = b.type("cfg", "ini", F_FILE);
    fileinfo* etc = b.add(&top, nullptr, "", "etc", "-", dirt, F_ABSOLUTE);
    fileinfo* inner = b.add(&top, etc, "etc", "app", "core", cfg, F_ABSOLUTE);
    inner->srcdir = const_cast<char*>("s");
    fileinfo* rootlink = b.add(&top, nullptr, "", "lnk", "-", nullptr, F_SYMLINK | F_ABSOLUTE);
    rootlink->existing = const_cast<char*>("etc");

    written w = writerecords(top, false);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(w.text,
              "\nnam=app\next=ini\ndst=/etc\npkg=core\nbas=/work\nsrc=s\ntyp=cfg\nflg=*file\n"
              "\nnam=lnk\ndst=/\npkg=-\nbas=/work\nexi=etc\nflg=*symlink\n");
}

TEST(writeentries, typedentrywithoutsourcedirectory) {
    treebuilder b;
    filetype* exe = b.type("prog", "exe", F_FILE);

    // In package mode an entry of no package was skipped by the walk.
    fileinfo* top = nullptr;
    b.add(&top, nullptr, "", "skipped", "-", exe, 0);
    written pkg = writerecords(top, true);
    EXPECT_EQ(pkg.rc, 0);
    EXPECT_EQ(pkg.text, "\nnam=skipped\next=exe\npkg=-\nbas=/work\ntyp=prog\nflg=*file\n");

    // Outside package mode, or for an entry of a package, it is an error and
    // nothing of that record is written.
    written plain = writerecords(top, false);
    EXPECT_EQ(plain.err, "Unexpected empty source path for file 'skipped'\n");
    EXPECT_EQ(plain.rc, -1);
    EXPECT_EQ(plain.text, "");

    fileinfo* named = nullptr;
    b.add(&named, nullptr, "", "core1", "core", exe, 0);
    written pkgnamed = writerecords(named, true);
    EXPECT_EQ(pkgnamed.err, "Unexpected empty source path for file 'core1'\n");
    EXPECT_EQ(pkgnamed.rc, -1);
}

TEST(writeentries, missingbasedirstopsafterearlierrecords) {
    treebuilder b;
    fileinfo* top = nullptr;
    fileinfo* first = b.add(&top, nullptr, "", "a", "-", nullptr, F_COPY);
    first->existing = const_cast<char*>("x");
    fileinfo* second = b.add(&top, nullptr, "", "b", "-", nullptr, F_COPY);
    second->basedir = nullptr;
    b.add(&top, nullptr, "", "c", "-", nullptr, F_COPY);

    written w = writerecords(top, false);
    EXPECT_EQ(w.err, "Unexpected empty source directory for file 'b'\n");
    EXPECT_EQ(w.rc, -1);
    EXPECT_EQ(w.text, "\nnam=a\npkg=-\nbas=/work\nexi=x\nflg=*copy\n");
}

TEST(writeperms, directoriesonceandtopdown) {
    treebuilder b;
    fileinfo* top = nullptr;
    filetype* dirt = b.type("dir", nullptr, F_DIR | F_BINOWNER | F_BINGROUP, 0755);
    filetype* so = b.type("lib", "so", F_FILE | F_VERSIONTRAIL | F_RUNGROUP, 0644, "root", "$run");
    filetype* conf = b.type("conf", nullptr, F_FILE | F_RUNOWNER, 0600, "$run", "staff");
    fileinfo* opt = b.add(&top, nullptr, "", "opt", "-", dirt, 0);
    fileinfo* lib = b.add(&top, opt, "opt", "lib", "-", dirt, 0);
    b.add(&top, lib, "opt/lib", "libx.1.2", "core", so, 0);
    b.add(&top, lib, "opt/lib", "liby", "core", so, 0);
    b.add(&top, lib, "opt/lib", "other", "extra", conf, 0);

    written core = writepackage(top, nullptr, "core");
    EXPECT_EQ(core.err, "");
    EXPECT_EQ(core.text,
              "#\nmkdir opt\nchown bin opt\nchgrp bin opt\nchmod 755 opt\n"
              "#\nmkdir opt/lib\nchown bin opt/lib\nchgrp bin opt/lib\nchmod 755 opt/lib\n"
              "#\nchown root opt/lib/libx.so.1.2\nchgrp $RUNGROUP opt/lib/libx.so.1.2\n"
              "chmod 644 opt/lib/libx.so.1.2\n"
              "#\nchown root opt/lib/liby.so\nchgrp $RUNGROUP opt/lib/liby.so\n"
              "chmod 644 opt/lib/liby.so\n");

    // The marks of the first file do not carry over into the next one.
    written extra = writepackage(top, nullptr, "extra");
    EXPECT_EQ(extra.text,
              "#\nmkdir opt\nchown bin opt\nchgrp bin opt\nchmod 755 opt\n"
              "#\nmkdir opt/lib\nchown bin opt/lib\nchgrp bin opt/lib\nchmod 755 opt/lib\n"
              "#\nchown $RUNOWNER opt/lib/other\nchgrp staff opt/lib/other\n"
              "chmod 600 opt/lib/other\n");
}

TEST(writeperms, packagedirectoryandabsolutefiles) {
    treebuilder b;
    fileinfo* top = nullptr;
    fileinfo* root = nullptr;
    filetype* dirt = b.type("dir", nullptr, F_DIR, 0700, "adm", "adm");
    filetype* exe = b.type("prog", "exe", F_FILE, 0755);
    fileinfo* data = b.add(&top, nullptr, "", "data", "-", dirt, 0);
    b.add(&top, data, "data", "cache", "core", dirt, 0);
    fileinfo* usr = b.add(&root, nullptr, "", "usr", "-", dirt, F_ABSOLUTE);
    b.add(&root, usr, "usr", "tool", "core", exe, F_ABSOLUTE);

    written core = writepackage(top, root, "core");
    EXPECT_EQ(core.text,
              "#\nmkdir data\nchown adm data\nchgrp adm data\nchmod 700 data\n"
              "#\nmkdir data/cache\nchown adm data/cache\nchgrp adm data/cache\n"
              "chmod 700 data/cache\n"
              "#\nmkdir /usr\nchown adm /usr\nchgrp adm /usr\nchmod 700 /usr\n"
              "#\nchown root /usr/tool.exe\nchgrp root /usr/tool.exe\nchmod 755 /usr/tool.exe\n");
}

TEST(writeperms, linksgetwarningsinsteadofrecords) {
    treebuilder b;
    fileinfo* top = nullptr;
    filetype* dirt = b.type("dir", nullptr, F_DIR, 0755);
    filetype* exe = b.type("prog", "exe", F_FILE, 0755);
    fileinfo* bin = b.add(&top, nullptr, "", "bin", "-", dirt, 0);
    // A link of the types file with entries below it, and a link of the package.
    fileinfo* cur = b.add(&top, bin, "bin", "current", "-", nullptr, F_SYMLINK);
    b.add(&top, cur, "bin/current", "a", "core", exe, 0);
    b.add(&top, cur, "bin/current", "b", "core", exe, 0);
    b.add(&top, bin, "bin", "short", "core", nullptr, F_SYMLINK);

    written core = writepackage(top, nullptr, "core");
    EXPECT_EQ(core.err,
              "WARNING: Not adding symlink bin/current to package core\n"
              "WARNING: Not adding symlink bin/short to package core\n");
    EXPECT_EQ(core.text,
              "#\nmkdir bin\nchown root bin\nchgrp root bin\nchmod 755 bin\n"
              "#\nchown root bin/current/a.exe\nchgrp root bin/current/a.exe\n"
              "chmod 755 bin/current/a.exe\n"
              "#\nchown root bin/current/b.exe\nchgrp root bin/current/b.exe\n"
              "chmod 755 bin/current/b.exe\n");
}
