// The package list that restricts which input lines are installed, and the
// usage text.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "ending/ending.h"
#include "platform/platform.h"
#include "tree/tree.h"

namespace {

constexpr const char* usagelines[] = {
    "  -s       output the platform dependent file list\n",
    "             prototype-post.<pkg> on solaris\n",
    "             <pkg>.lst on Linux\n",
    "             perm.<pkg> on other platforms\n",
    "  -e       strictly enforce permissions\n",
    "  -m       suppress manifest.txt processing\n",
    "  -n       no action; show what would happen\n",
    "  -p       split package mode\n",
    "  -P       create sparse patch\n",
    "  -v       verbose\n",
    "  -d dir   the destination directory (overrides DESTDIR environment var)\n",
    "  -D k=v   define a substitution key and value as if set in the types file\n",
    "  -i file  the input file name (defaults to `install.ins')\n",
    "  -l pkgname:[pkgname2:...]\n",
    "           a list of package names to install, default is to install all packages\n",
    "  srcpath1 [srcpath2 ...]\n",
    "           a list of paths to search for files listed in the input file.\n",
    "Environment variables:\n",
    "  DESTDIR     destination directory\n",
    "  FP_VERBOSE  set verbose mode to 1 or 2\n",
    "  FP_PACKAGE  set package mode to 1\n",
    "  FP_PKGLIST  list of packages to install\n",
};

}  // namespace

void printusage(std::FILE* stream, const char* progname) {
    std::fprintf(stream,
                 "usage: %s [-e] [-m] [-n] [-p] [-v] [-d dir] [-i file] srcpath1 [srcpath2 ...]\n",
                 progname);
    for (const char* line : usagelines) std::fputs(line, stream);
}

void usage(const char* progname) {
    std::fflush(stdout);
    printusage(stderr, progname);
    endrun(1);
}

// Cuts text in place at the ':' separators; empty names are skipped. The
// whole text "ALL" means every package (an empty list). A name beyond the
// table's capacity ends the run before anything is stored past it.
void parsepkglist(runstate* rs, char* text) {
    rs->numpkgs = 0;
    if (std::strcmp(text, "ALL") == 0) return;
    char* cursor = text;
    for (;;) {
        while (*cursor == ':') ++cursor;
        if (*cursor == '\0') break;
        if (rs->numpkgs >= MAXPKGS) die("Too many packages in list, maximum is %d\n", MAXPKGS);
        rs->pkglist[rs->numpkgs++] = cursor;
        cursor = std::strchr(cursor, ':');
        if (cursor == nullptr) break;
        *cursor++ = '\0';
    }
    std::qsort(rs->pkglist, static_cast<std::size_t>(rs->numpkgs), sizeof rs->pkglist[0], pkgcmp);
}
