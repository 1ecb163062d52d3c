// The run: the state every stage shares and its limits. Every other folder
// builds on this one; it includes none of them.
#pragma once

#include <cstddef>
#include <cstdint>

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

// What the run does, computed once from the options before the first stage.
struct runmode {
    bool writes = true;     // something is written (neither -n nor --verify)
    bool compares = false;  // an existing destination is compared with what
                            // would be installed now (--update, --verify)
    bool reports = false;   // differences are reported instead of installed
                            // (--verify): no directory is made, the walk lists
                            // nothing
    bool removes = false;   // records the input no longer lists are removed
                            // (--prune, --uninstall)
    bool dryrun = false;    // actions are listed, not done (-n)
};

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
    runmode mode;               // set by the driver from the options above
    // Reporting and the command line's own facts.
    int json;                   // --json
    int stats;                  // --stats
    int infilenamed;            // the input file was named by -i
};


// Runs the whole tool (the driver); returns the process status (0) or ends
// the process. The program's entry points call it.
int runmain(int argc, char** argv);
