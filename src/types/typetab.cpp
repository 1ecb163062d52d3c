// The table of "file" types: 997 chained buckets indexed by the hash of the
// type name. A new type goes to the head of its chain, so a later definition
// of a name hides an earlier one. A long chain has an index beside it: the
// newest type of each name hash.
#include <cstring>
#include <unordered_map>

#include "ending/ending.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "types/types.h"

struct typeindex {
    std::unordered_map<std::uint64_t, filetype*> newest;
};

namespace {

// Enters a type just put at the head of its chain: into the chain's index, or
// into a new one when the chain has just become long.
void indextype(filetype* type)
{
    if (type->index) {
        type->index->newest.insert_or_assign(type->namehash, type);
        return;
    }
    if (type->depth < LONGCHAIN)
        return;
    type->index = new typeindex;
    for (filetype* t = type; t; t = t->next)
        type->index->newest.emplace(t->namehash, t);  // the first, newest, one stays
}

} // namespace

void addtype(runstate* rs, filetype* type)
{
    // Directory types are reachable only through their directory entry.
    FP_CHECK(!(type->flags & F_DIR));
    unsigned h = strhash(type->typename_);
    filetype* next = rs->typetab[h];
    type->next = next;
    type->namehash = namehash(type->typename_, std::strlen(type->typename_));
    type->depth = next ? next->depth + (next->depth < UINT32_MAX ? 1 : 0) : 1;
    type->index = next ? next->index : nullptr;
    rs->typetab[h] = type;
    indextype(type);
}

filetype* findtype(runstate* rs, const char* name)
{
    filetype* head = rs->typetab[strhash(name)];
    if (head && head->index) {
        auto it = head->index->newest.find(namehash(name, std::strlen(name)));
        if (it == head->index->newest.end())
            return nullptr;  // a type of that name would have that name hash
        if (std::strcmp(it->second->typename_, name) == 0)
            return it->second;
        // Another name with the same name hash: only the walk can tell.
    }
    for (filetype* t = head; t; t = t->next) {
        if (std::strcmp(t->typename_, name) == 0)
            return t;
    }
    return nullptr;
}

listing typelisting(char status, char kind, const filetype* t, std::string_view path,
                    const char* existing) {
    if (t == nullptr) return {status, kind, "-", "-", 0u, path, existing};
    return {status, kind,
            {t->owner != nullptr ? t->owner : "", static_cast<std::size_t>(t->ownerlen)},
            {t->group != nullptr ? t->group : "", static_cast<std::size_t>(t->grouplen)},
            t->mode, path, nullptr};
}
