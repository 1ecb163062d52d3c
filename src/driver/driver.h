// Driver: the run state shared by every stage, the command line, the package
// list and the host facts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct filetype;
struct subkey;
struct fileinfo;
struct sibindex;
struct nameset;
struct settlequeue;
struct lifestate;

constexpr int HASHSIZE = 997;     // buckets of typetab and keytab
constexpr int PATHSIZE = 1024;    // every path buffer
constexpr int MAXPKGS = 32;       // package list and permission files

// The one record every stage shares; allocated zero-filled at start-up and
// never freed. Texts point into the argument vector, the environment or
// loaded files.
struct runstate {
    const char* infile;
    const char* destdir;
    char** srcpaths;            // null-terminated list
    unsigned verbose;
    int pkgmode;
    int enforce;
    int noaction;
    int destdirlen;
    int nomanifest;
    int patch;
    int specfile;
    int idsresolved;
    int binuid;
    int runuid;
    int bingid;
    int rungid;
    int binuserlen;
    int runuserlen;
    int bingrouplen;
    int rungrouplen;
    char* intext;
    char* intextend;
    char* typesfile;
    char* typestext;
    char* typestextend;
    char* conftext;
    char* conftextend;
    char* defdestdir;
    const char* binuser;
    const char* runuser;
    const char* bingroup;
    const char* rungroup;
    std::int64_t inmtime;       // whole seconds, compared signed
    std::int64_t typesmtime;
    int readingmanifest;
    int changed;
    fileinfo* dirtree;
    fileinfo* roottree;
    fileinfo* retryhead;        // linked through fileinfo::retrynext
    fileinfo* retrytail;
    unsigned maxkeylen;
    filetype* typetab[HASHSIZE];
    subkey* keytab[HASHSIZE];
    char srcbuf[PATHSIZE];
    char tmpbuf[PATHSIZE];
    char dstbuf[PATHSIZE];
    const char* curpkg;
    std::FILE* pkgi;
    char hostname[256];
    char dcpath[256];
    char uname[256];
    char hardware[256];
    char datetime[20];
    char ipv4addr[60];
    char cwd[PATHSIZE];
    char* pkglist[MAXPKGS];
    int numpkgs;
    // Beyond the record's classic fields:
    sibindex* dirindex;         // index of dirtree's top level (tree subsystem)
    sibindex* rootindex;        // index of roottree's top level
    int confdepth;              // current "readconfig" nesting depth
    int readingtypes;           // 1 while the types file (and its includes) is read
    int typeslinks;             // link entries of the types file not yet matched by a
                                // manifest record
    nameset* tempclash;         // installed names a temporary must not take (install)
    settlequeue* settle;        // copies waiting to be flushed and named (install)
    std::size_t expanded;       // characters that token expansions added in all
    int conffiles;              // settings files read so far
    std::size_t confbytes;      // and the bytes they held
    // Long options: each is 0 until its option is given.
    int progress;               // --progress
    int update;                 // --update
    int verify;                 // --verify
    int prune;                  // --prune
    int uninstall;              // --uninstall
    int force;                  // --force
    int nosync;                 // --no-sync
    lifestate* life;            // fingerprints and lifecycle findings (lifecycle)
    // Reporting and the command line's own facts.
    int json;                   // --json
    int stats;                  // --stats
    int infilenamed;            // the input file was named by -i
};

// Runs the whole tool; returns the process status (0) or ends the process.
int runmain(int argc, char** argv);

// Prints the usage text on standard error and ends with status 1.
[[noreturn]] void usage(const char* progname);
// Writes the usage text to stream.
void printusage(std::FILE* stream, const char* progname);
// One option of the form "--name": whole argument, exact name.
struct longoption {
    const char* name;
    const char* help;
    int runstate::*field;  // set to 1 when given; null for --help and --version
};
extern const longoption longoptions[11];
// Replaces the package list by the ':'-separated names of text (cut in place).
void parsepkglist(runstate* rs, char* text);
// Byte-order comparison of two references to texts: -1, 0 or 1.
int pkgcmp(const void* str1, const void* str2);

// Host facts that need no system service beyond the C runtime.
void getdatetime(char* buf, std::size_t cap);
int getdcpath(const char* hostname, char* buf, std::size_t cap);
