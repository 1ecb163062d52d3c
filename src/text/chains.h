// The hash chains of the key table and the type table. A record goes to the
// head of its chain, so the newest record of a name is found first. Beside a
// chain that has grown long stands an index of the newest record of each
// name hash: a lookup in it costs no walk along the chain, however many
// names share its bucket.
#pragma once

#include <cstdint>
#include <unordered_map>

// Chains at least this long get an index.
constexpr std::uint32_t LONGCHAIN = 8;

template <typename Record>
struct chainindex {
    std::unordered_map<std::uint64_t, Record*> newest;
};

// Pushes rec (its namehash set) at the head of the chain and enters it into
// the chain's index, or into a new one when the chain has just become long.
template <typename Record>
void pushchain(Record** head, Record* rec)
{
    Record* next = *head;
    rec->next = next;
    rec->depth = next == nullptr ? 1 : next->depth + (next->depth < UINT32_MAX ? 1 : 0);
    rec->index = next != nullptr ? next->index : nullptr;
    *head = rec;
    if (rec->index != nullptr) {
        rec->index->newest.insert_or_assign(rec->namehash, rec);
    } else if (rec->depth >= LONGCHAIN) {
        rec->index = new chainindex<Record>;
        for (Record* r = rec; r != nullptr; r = r->next) {
            rec->index->newest.emplace(r->namehash, r);  // the first, newest, one stays
        }
    }
}

// The newest record of the chain that same() accepts, or null. hash() gives
// the name hash of the name looked for; it is called only when the chain has
// an index.
template <typename Record, typename Hash, typename Same>
Record* findinchain(Record* head, Hash hash, Same same)
{
    if (head != nullptr && head->index != nullptr) {
        auto it = head->index->newest.find(hash());
        if (it == head->index->newest.end()) {
            return nullptr;  // a record of that name would have that name hash
        }
        if (same(it->second)) {
            return it->second;
        }
        // Another name with the same name hash: only the walk can tell.
    }
    for (Record* r = head; r != nullptr; r = r->next) {
        if (same(r)) {
            return r;
        }
    }
    return nullptr;
}
