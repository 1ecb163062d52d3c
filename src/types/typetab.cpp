// The table of "file" types: 997 chained buckets indexed by the hash of the
// type name. A new type goes to the head of its chain, so a later definition
// of a name hides an earlier one. A long chain has an index beside it: the
// newest type of each name hash.
#include <cstring>

#include "ending/ending.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "text/chains.h"
#include "types/types.h"

void addtype(runstate* rs, filetype* type)
{
    // Directory types are reachable only through their directory entry.
    FP_CHECK(!(type->flags & F_DIR));
    type->namehash = namehash(type->typename_, std::strlen(type->typename_));
    pushchain(&rs->typetab[strhash(type->typename_)], type);
}

filetype* findtype(runstate* rs, const char* name)
{
    return findinchain(
        rs->typetab[strhash(name)], [&] { return namehash(name, std::strlen(name)); },
        [&](const filetype* t) { return std::strcmp(t->typename_, name) == 0; });
}

listing typelisting(char status, char kind, const filetype* t, std::string_view path,
                    const char* existing) {
    if (t == nullptr) return {status, kind, "-", "-", 0u, path, existing};
    return {status, kind,
            {t->owner != nullptr ? t->owner : "", static_cast<std::size_t>(t->ownerlen)},
            {t->group != nullptr ? t->group : "", static_cast<std::size_t>(t->grouplen)},
            t->mode, path, nullptr};
}
