// "set" lines: key=value assignments with the built-in $ words, the special
// keys "defdestdir", "runuser", "rungroup", "binuser" and "bingroup", and the
// resolution of the default run and bin owners and groups.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ending/ending.h"
#include "platform/platform.h"
#include "run/run.h"
#include "types/types.h"

namespace {

enum builtinword {
    W_HOSTNAME, W_IPV4, W_UNAME, W_HARDWARE, W_RUNUSER, W_RUNGROUP, W_DESTDIR,
    W_VERSION, W_VER, W_BASEVERSION, W_MAJOR, W_MINOR, W_REVISION, W_BUILDNUM,
    W_DATETIME, W_DCPATH, W_HOSTPREFIX, W_DOMAIN, W_DOMAINPREFIX, W_NONE
};

// Compared in this order; the first exact match wins.
constexpr std::string_view builtinnames[W_NONE] = {
    "$hostname", "$ipv4address", "$uname", "$hardware", "$runuser", "$rungroup",
    "$destdir", "$version", "$ver", "$base_version", "$major_version",
    "$minor_version", "$revision", "$buildnum", "$datetime", "$dcpath",
    "$hostprefix", "$domain", "$domainprefix",
};

builtinword findbuiltin(std::string_view value)
{
    if (value.empty() || value[0] != '$')
        return W_NONE;
    for (int i = 0; i < W_NONE; i++) {
        if (builtinnames[i] == value)
            return static_cast<builtinword>(i);
    }
    return W_NONE;
}

// The host name split at its first and second '.': the host's own label,
// the domain and the first label of the domain. Without a '.' every piece is
// the whole name; with exactly one, the domain is the whole name.
std::string_view hostpiece(const char* host, builtinword word)
{
    const char* dot1 = std::strchr(host, '.');
    if (!dot1)
        return host;
    const char* dot2 = std::strchr(dot1 + 1, '.');
    switch (word) {
    case W_HOSTPREFIX:
        return {host, static_cast<std::size_t>(dot1 - host)};
    case W_DOMAIN:
        return dot2 ? dot1 + 1 : host;
    default:
        if (!dot2)
            return dot1 + 1;
        return {dot1 + 1, static_cast<std::size_t>(dot2 - dot1 - 1)};
    }
}

std::string_view builtinvalue(runstate* rs, builtinword word)
{
    if ((word == W_RUNUSER || word == W_RUNGROUP) && !rs->idsresolved)
        resolveids(rs);
    switch (word) {
    case W_HOSTNAME: return rs->hostname;
    case W_IPV4: return rs->ipv4addr;
    case W_UNAME: return rs->uname;
    case W_HARDWARE: return rs->hardware;
    case W_RUNUSER: return {rs->runuser, static_cast<std::size_t>(rs->runuserlen)};
    case W_RUNGROUP: return {rs->rungroup, static_cast<std::size_t>(rs->rungrouplen)};
    case W_DESTDIR:
        // No destination yet: an empty value rather than a missing text.
        if (!rs->destdir)
            return "";
        return {rs->destdir, static_cast<std::size_t>(rs->destdirlen)};
    case W_BUILDNUM: return "2006.015.2356";
    case W_DATETIME: return rs->datetime;
    case W_DCPATH: return rs->dcpath;
    case W_HOSTPREFIX:
    case W_DOMAIN:
    case W_DOMAINPREFIX: return hostpiece(rs->hostname, word);
    default: return "unknown";
    }
}

// A built-in value (a constant, a host fact, a stretch of the host name) is
// given its own NUL-terminated copy: a setting may change its value text in
// place and reads it up to its terminator.
char* owncopy(const char* text, std::size_t len, const char* key, std::size_t keylen)
{
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (!copy)
        die("Out of memory adding key %.*s\n", static_cast<int>(keylen), key);
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

// Where the run keeps the default owner or group a key sets, or null.
const char** ownerfield(runstate* rs, std::string_view key)
{
    if (key == "runuser")
        return &rs->runuser;
    if (key == "rungroup")
        return &rs->rungroup;
    if (key == "binuser")
        return &rs->binuser;
    return key == "bingroup" ? &rs->bingroup : nullptr;
}

// "defdestdir": recorded with native separators; it becomes the destination
// only when none is known yet. givesdest is false for a "$destdir" value
// that had no destination to refer to.
void setdefdestdir(runstate* rs, char* value, std::size_t len, bool givesdest)
{
    rs->defdestdir = value;
    nativeseparators(value);
    if (!rs->destdir && givesdest) {
        rs->destdir = value;
        rs->destdirlen = static_cast<int>(len);
    }
}

} // namespace

void parseassign(runstate* rs, char* text, char* lineend, const char* kind,
                 const char* filename, unsigned lineno)
{
    char* eq = static_cast<char*>(std::memchr(text, '=', lineend - text));
    if (!eq)
        die("Invalid assignment line %u '%s' in %s file '%s'\n", lineno, text, kind, filename);
    *eq = '\0';
    std::string_view key(text, eq - text);
    char* value = eq + 1;
    std::size_t vallen = lineend - value;

    builtinword word = findbuiltin(std::string_view(value, vallen));
    bool unknowndest = word == W_DESTDIR && !rs->destdir;
    if (word != W_NONE) {
        // May resolve the defaults ("$runuser", "$rungroup") before the
        // owner settings below are looked at.
        std::string_view piece = builtinvalue(rs, word);
        value = owncopy(piece.data(), piece.size(), key.data(), key.size());
        vallen = piece.size();
    }

    addkey(rs->keytab, &rs->maxkeylen, key.data(), key.size(), value, vallen, rs->verbose);

    if (key == "defdestdir")
        setdefdestdir(rs, value, vallen, !unknowndest);
    else if (const char** field = ownerfield(rs, key); field && !rs->idsresolved)
        *field = value;
}

void resolveids(runstate* rs)
{
    if (!rs->runuser)
        rs->runuser = "daemon,nobody";
    if (!rs->binuser)
        rs->binuser = "bin,root";
    if (!rs->rungroup)
        rs->rungroup = "daemon,nobody";
    if (!rs->bingroup)
        rs->bingroup = "bin,root";
    if (lookupid(&rs->runuser, &rs->runuid, &rs->runuserlen) != 0)
        die("Couldn't lookup run user '%s'\n", rs->runuser);
    if (lookupid(&rs->binuser, &rs->binuid, &rs->binuserlen) != 0)
        die("Couldn't lookup bin user '%s'\n", rs->binuser);
    if (lookupid(&rs->rungroup, &rs->rungid, &rs->rungrouplen) != 0)
        die("Couldn't lookup run group '%s'\n", rs->rungroup);
    if (lookupid(&rs->bingroup, &rs->bingid, &rs->bingrouplen) != 0)
        die("Couldn't lookup bin group '%s'\n", rs->bingroup);
    rs->idsresolved = 1;
}
