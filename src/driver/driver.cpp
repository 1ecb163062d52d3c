// The entry point: fills the run state from the command line (its options,
// the package list, the usage text) and the environment, gathers the host
// facts (the UTC date stamp and the directory-style domain path derived from
// the host name among them) and runs the stages in their order.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "driver/driver.h"
#include "ending/ending.h"
#include "input/input.h"
#include "install/install.h"
#include "inuse/inuse.h"
#include "lifecycle/lifecycle.h"
#include "lock/lock.h"
#include "manifest/manifest.h"
#include "perm/perm.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "report/report.h"
#include "text/text.h"
#include "tree/tree.h"

namespace {

// The usage text after its first line.
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

// One option of the form "--name": whole argument, exact name.
struct longoption {
    const char* name;
    const char* help;
    int runstate::*field;  // set to 1 when given; null for --help and --version
};

constexpr longoption longoptions[] = {
    {"--help", "show this text and end", nullptr},
    {"--version", "show the version and end", nullptr},
    {"--progress", "show progress on standard error when it is a terminal", &runstate::progress},
    {"--update", "replace installed files that differ from what would be installed now",
     &runstate::update},
    {"--verify", "report how the destination differs from the input; write nothing",
     &runstate::verify},
    {"--prune", "remove installed files that the input no longer lists", &runstate::prune},
    {"--uninstall", "remove every installed file, the manifest and the permission files",
     &runstate::uninstall},
    {"--json", "write JSON Lines on standard output: one object per event, then a summary",
     &runstate::json},
    {"--stats", "show a summary of the run on standard output", &runstate::stats},
    {"--force", "with --update, replace files changed since they were installed too",
     &runstate::force},
    {"--no-sync", "do not wait for files to reach the disk (for throwaway trees)",
     &runstate::nosync},
};

void printusage(std::FILE* stream, const char* progname) {
    std::fprintf(stream,
                 "usage: %s [-e] [-m] [-n] [-p] [-v] [-d dir] [-i file] srcpath1 [srcpath2 ...]\n",
                 progname);
    for (const char* line : usagelines) std::fputs(line, stream);
}

// The program's name as the usage line shows it: the text after the last
// '/' of its path (a '\\' does not count).
const char* programname(const char* path) {
    if (path == nullptr) return "fileplacer";
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Decimal value of an environment text read as atoi does (leading blanks, an
// optional sign, then digits; anything else gives 0), held within int range.
int decimalvalue(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The value of the option letter at letter inside argv[*index]: the rest of
// the same argument, else the whole next one (even when it begins with '-').
char* optionargument(char** argv, int* index, char* letter, const char* progname) {
    if (letter[1] != '\0') return letter + 1;
    if (argv[*index + 1] == nullptr) usage(progname);
    ++*index;
    return argv[*index];
}

// -D key=value: the key is the text before the first '=', the value the rest.
void definekey(runstate* rs, const char* text, const char* progname) {
    const char* equals = std::strchr(text, '=');
    if (equals == nullptr) usage(progname);
    const char* value = equals + 1;
    addkey(rs->keytab, &rs->maxkeylen, text, static_cast<std::size_t>(equals - text), value,
           std::strlen(value), rs->verbose);
}

void setdestdir(runstate* rs, const char* dir) {
    rs->destdir = dir;
    rs->destdirlen = static_cast<int>(std::strlen(dir));
}

// An argument beginning with "--": only a whole, exact name counts.
void readlongoption(runstate* rs, const char* arg, const char* progname) {
    for (const longoption& opt : longoptions) {
        if (std::strcmp(arg, opt.name) != 0) continue;
        if (opt.field != nullptr) {
            rs->*opt.field = 1;
        } else if (std::strcmp(arg, "--help") == 0) {
            // The usage text and one line per long option, on standard output.
            printusage(stdout, progname);
            std::fputs("Long options:\n", stdout);
            for (const longoption& o : longoptions) std::printf("  %-12s %s\n", o.name, o.help);
            endrun(0);
        } else {
            std::printf("fileplacer %s\n", FP_VERSION);
            endrun(0);
        }
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "Unknown option '%s'\n", arg);
    usage(progname);
}

// The option letters of argv[*index], as getopt reads them: flag letters
// may be bundled ("-vn"); a letter that takes a value takes the rest of the
// argument, else the next argument, and ends the bundle. An unknown letter
// anywhere, or a lone '-', is a usage error.
void readoption(runstate* rs, char** argv, int* index, const char* progname) {
    char* arg = argv[*index];
    if (arg[1] == '-') {
        readlongoption(rs, arg, progname);
        return;
    }
    if (arg[1] == '\0') usage(progname);
    for (char* letter = arg + 1; *letter != '\0'; ++letter) {
        switch (*letter) {
        case 'e': rs->enforce = 1; break;
        case 'm': rs->nomanifest = 1; break;
        case 'n': rs->noaction = 1; break;
        case 'p': rs->pkgmode = 1; break;
        case 'P': rs->patch = 1; break;
        case 's': rs->specfile = 1; break;
        case 'v': ++rs->verbose; break;
        case 'd': setdestdir(rs, optionargument(argv, index, letter, progname)); return;
        case 'i':
            rs->infile = optionargument(argv, index, letter, progname);
            rs->infilenamed = 1;
            return;
        case 'l': parsepkglist(rs, optionargument(argv, index, letter, progname)); return;
        case 'D': definekey(rs, optionargument(argv, index, letter, progname), progname); return;
        default: usage(progname);
        }
    }
}

// Options from left to right up to the first argument that does not begin
// with '-'; that one and the rest are the source directories.
void readoptions(runstate* rs, int argc, char** argv) {
    const char* progname = programname(argc > 0 ? argv[0] : nullptr);
    if (argc < 1) usage(progname);
    int index = 1;
    for (; argv[index] != nullptr && argv[index][0] == '-'; ++index)
        readoption(rs, argv, &index, progname);
    if (argv[index] == nullptr) usage(progname);
    rs->srcpaths = argv + index;
}

// The environment fills what the command line left unset.
void readenvironment(runstate* rs) {
    char* value = nullptr;
    if (rs->numpkgs == 0 && (value = envtext("FP_PKGLIST")) != nullptr)
        parsepkglist(rs, value);
    if (rs->pkgmode == 0 && (value = envtext("FP_PACKAGE")) != nullptr)
        rs->pkgmode = decimalvalue(value);
    if (rs->verbose == 0 && (value = envtext("FP_VERBOSE")) != nullptr) {
        // A negative level wraps to a huge unsigned one: everything is shown.
        rs->verbose = static_cast<unsigned>(decimalvalue(value));
        if (rs->verbose == 0) rs->verbose = 1;
    }
    if (rs->destdir == nullptr && (value = envtext("DESTDIR")) != nullptr)
        setdestdir(rs, value);
}

void gatherhostfacts(runstate* rs) {
    std::string why;
    if (!startsockets(&why)) die("%s", why.c_str());
    getdatetime(rs->datetime, sizeof rs->datetime);
    gethost(rs->hostname, sizeof rs->hostname);
    if (!getipv4(rs->ipv4addr, sizeof rs->ipv4addr, rs->hostname, &why)) die("%s", why.c_str());
    getdcpath(rs->hostname, rs->dcpath, sizeof rs->dcpath);
    int err = getworkdir(rs->cwd, sizeof rs->cwd);
    if (err != 0) die("Can't get current working directory: %s (%d)\n", std::strerror(err), err);
}

void printsummary(const runstate* rs) {
    static constexpr std::pair<int runstate::*, const char*> modes[] = {
        {&runstate::enforce, "enforce "}, {&runstate::noaction, "noaction "},
        {&runstate::nomanifest, "nomanifest "}, {&runstate::pkgmode, "package "},
        {&runstate::specfile, "specfile "}, {&runstate::patch, "patch "},
    };
    std::fputs("modes: debug ", stdout);
    for (const auto& [field, word] : modes)
        if (rs->*field) std::fputs(word, stdout);
    std::fputs("\n", stdout);
    if (rs->destdir != nullptr) std::printf("destdir=%s\n", rs->destdir);
    const std::pair<const char*, const char*> facts[] = {
        {"infilename", rs->infile}, {"hostname", rs->hostname}, {"datetime", rs->datetime},
        {"hardware", rs->hardware}, {"ipv4addr", rs->ipv4addr}, {"dcpath", rs->dcpath},
        {"uname", rs->uname},       {"cwd", rs->cwd},
    };
    for (const auto& [name, value] : facts) std::printf("%s=%s\n", name, value);
    std::fputs("Source directory list follows:\n", stdout);
    for (char** src = rs->srcpaths; *src != nullptr; ++src) std::printf("  %s\n", *src);
    std::printf("Package List to install, numpkgs = %d\n", rs->numpkgs);
    for (int i = 0; i < rs->numpkgs; ++i) std::printf("  pkg[%d] = %s\n", i, rs->pkglist[i]);
}

void listtrees(const runstate* rs) {
    if (rs->dirtree != nullptr) {
        std::fputs("Destination Directory Tree:\n", stdout);
        dumptree(rs->dirtree, 0);
    }
    if (rs->roottree != nullptr) {
        std::fputs("Destination Root Tree:\n", stdout);
        dumptree(rs->roottree, 0);
    }
}

// Each deferred entry with what lies below it, not its later siblings.
void listretries(const runstate* rs) {
    std::fputs("Retry Tree:\n", stdout);
    for (const fileinfo* entry = rs->retryhead; entry != nullptr; entry = entry->retrynext)
        dumpentry(entry, 0);
}

void installall(runstate* rs) {
    bool debug = rs->verbose > 1;
    progressstart(rs);
    if (rs->dirtree != nullptr) installwalk(rs, rs->dirtree, "", 0);
    if (rs->roottree != nullptr) installwalk(rs, rs->roottree, "", 0);
    if (rs->retryhead != nullptr) {
        if (debug) listretries(rs);
        retrywalk(rs);
    }
    settleall(rs);
    progressend();
    if (debug) std::fputs("finished installing files.\n", stdout);
}

// "manifest.txt" takes its name after the permission files: when one of
// them fails, the previous manifest stays, so the next run sees the same
// change and writes them all again.
void writeoutputs(runstate* rs) {
    bool debug = rs->verbose > 1;
    bool due = rs->changed && !rs->nomanifest;
    if (due && debug) std::fputs("generating manifest file\n", stdout);
    atomicfile manifest;
    bool written = due && !rs->mode.dryrun;
    if (written) writemanifest(rs, &manifest);
    if ((rs->pkgmode || rs->specfile) && lifewritesperms(rs)) {
        if (debug) std::fputs("generating chmod/chown files\n", stdout);
        if (!rs->mode.dryrun) writepermfiles(rs);
    }
    if (written) commitmanifest(rs, &manifest);
}

// The run being made, for the failure hook.
runstate* current = nullptr;

// A run that fails keeps what it finished: the copies complete under their
// temporary names take their names, and the fingerprints of what it wrote
// are recorded, so that the next run knows those files as its own.
void keepfinishedwork() {
    settleall(current);
    lifeonfailure(current);
}

void runstages(runstate* rs) {
    bool debug = rs->verbose > 1;
    if (debug) std::fputs("parsing input files\n", stdout);
    if (readinput(rs) != 0) endrun(1);
    if (debug) {
        listtrees(rs);
        std::fputs("installing files\n", stdout);
    }
    lifeprepare(rs);
    // Taking the lock made the destination, unless no manifest was read.
    if (rs->nomanifest) makedestination(rs);
    removeleftaside(rs);
    // --uninstall installs nothing: it only removes what the manifest records.
    if (!rs->uninstall) installall(rs);
    lifeafterwalk(rs);
    writeoutputs(rs);
    lifeoutputs(rs);
    recordleftaside(rs);
}

}  // namespace

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

runmode modeof(const runstate* rs) {
    runmode mode;
    mode.dryrun = rs->noaction != 0;
    mode.reports = rs->verify != 0;
    mode.writes = !mode.dryrun && !mode.reports;
    mode.compares = rs->update != 0 || mode.reports;
    mode.removes = rs->prune != 0 || rs->uninstall != 0;
    return mode;
}

int runmain(int argc, char** argv) {
    runstate* rs = static_cast<runstate*>(std::calloc(1, sizeof(runstate)));
    if (rs == nullptr) die("Insufficient memory available\n");
    rs->infile = "install.ins";
    rs->maxkeylen = 18;
    readoptions(rs, argc, argv);
    readenvironment(rs);
    // The JSON stream holds the listing's events and nothing else: the
    // listing is on, the debug text of -vv is off.
    if (rs->json) rs->verbose = 1;
    reportbegin(rs->json != 0, rs->stats != 0);
    lifecheckoptions(rs);
    rs->mode = modeof(rs);
    setdurable(rs->nosync == 0);
    current = rs;
    runhooks hooks = currentrunhooks();
    hooks.keepwork = keepfinishedwork;
    setrunhooks(hooks);
    gatherhostfacts(rs);
    if (rs->verbose > 1) printsummary(rs);
    runstages(rs);
    hooks.keepwork = nullptr;
    setrunhooks(hooks);
    int status = lifestatus(rs);
    if (status == 0) status = leftasidestatus();
    reportend(status);
    return status;
}
