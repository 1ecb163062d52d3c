// The table of "file" types: 997 chained buckets indexed by the hash of the
// type name. A new type goes to the head of its chain, so a later definition
// of a name hides an earlier one.
#include <cstring>

#include "driver/driver.h"
#include "platform/platform.h"
#include "types/types.h"

void addtype(runstate* rs, filetype* type)
{
    // Directory types are reachable only through their directory entry.
    FP_CHECK(!(type->flags & F_DIR));
    unsigned h = strhash(type->typename_);
    type->next = rs->typetab[h];
    rs->typetab[h] = type;
}

filetype* findtype(runstate* rs, const char* name)
{
    for (filetype* t = rs->typetab[strhash(name)]; t; t = t->next) {
        if (std::strcmp(t->typename_, name) == 0)
            return t;
    }
    return nullptr;
}
