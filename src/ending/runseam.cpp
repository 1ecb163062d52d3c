// endrun() for every build, and for the fuzz build (FP_FUZZ) the rest of the
// run seam that runseam.h describes.
//
// The fuzz build links the tool's objects (this one included) into one
// relocatable object with --wrap=malloc,calloc,realloc,free: the tool's own
// calls arrive at the __wrap_ functions below, while the C library, the C++
// runtime, libFuzzer and the harness keep the real ones. Blocks of
// operator new (the tree indexes, their nodes and keys) come from the C++
// runtime as well as from the tool's inline code, so operator new and delete
// are replaced for the whole fuzz program; they record only while an input
// runs.
#include "ending/ending.h"
#include "ending/runseam.h"

#include <cstdlib>

#ifndef FP_FUZZ

void endrun(int status, const char*) {
    runhooks hooks = currentrunhooks();
    if (void (*ending)(int) = hooks.ending; ending != nullptr) {
        hooks.ending = nullptr;
        setrunhooks(hooks);
        ending(status);
    }
    std::exit(status);
}

#else

#include <functional>
#include <new>
#include <unordered_set>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void __real_free(void* block);
}

namespace {

// The record's own storage comes from the real allocator, so that keeping
// the record never records anything.
template <class T>
struct rawallocator {
    using value_type = T;
    rawallocator() = default;
    template <class U>
    rawallocator(const rawallocator<U>&) {}
    T* allocate(std::size_t n) {
        void* block = __real_malloc(n * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) { __real_free(block); }
    template <class U>
    bool operator==(const rawallocator<U>&) const { return true; }
};

using blockset = std::unordered_set<void*, std::hash<void*>, std::equal_to<void*>,
                                    rawallocator<void*>>;

// Only the thread that runs the input records (libFuzzer keeps threads of its
// own).
thread_local bool recording = false;

// Made on first use and never destroyed: allocations may come before and
// after static construction and destruction.
blockset& blocks() {
    static blockset* live = new (__real_malloc(sizeof(blockset))) blockset;
    return *live;
}

// Returns block, recorded when an input runs.
void* record(void* block) {
    if (block != nullptr && recording) blocks().insert(block);
    return block;
}

// Drops block from the record: true when it was recorded.
bool forget(void* block) { return block != nullptr && recording && blocks().erase(block) != 0; }

void* newblock(std::size_t size) { return record(__real_malloc(size != 0 ? size : 1)); }

void deleteblock(void* block) {
    forget(block);
    __real_free(block);
}

}  // namespace

void endrun(int status, const char* check) { throw runseam::runended{status, check}; }

namespace runseam {

void begininput() {
    blocks().clear();
    recording = true;
}

std::size_t endinput() {
    recording = false;
    blockset& live = blocks();
    std::size_t count = live.size();
    for (void* block : live) __real_free(block);
    live.clear();
    return count;
}

std::size_t liveblocks() { return blocks().size(); }

}  // namespace runseam

extern "C" {

void* __wrap_malloc(std::size_t size) { return record(__real_malloc(size)); }

void* __wrap_calloc(std::size_t count, std::size_t size) {
    return record(__real_calloc(count, size));
}

// A moved block stays recorded under its new address; a block that was
// allocated before the input began stays unrecorded.
void* __wrap_realloc(void* block, std::size_t size) {
    bool recorded = block == nullptr ? recording : forget(block);
    void* moved = __real_realloc(block, size);
    if (moved == nullptr) {
        // A size of 0 frees the block; any other failure keeps it.
        if (recorded && block != nullptr && size != 0) blocks().insert(block);
        return nullptr;
    }
    if (recorded) blocks().insert(moved);
    return moved;
}

void __wrap_free(void* block) { deleteblock(block); }

}  // extern "C"

void* operator new(std::size_t size) {
    void* block = newblock(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* operator new[](std::size_t size) { return operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return newblock(size); }

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return newblock(size); }

void operator delete(void* block) noexcept { deleteblock(block); }
void operator delete[](void* block) noexcept { deleteblock(block); }
void operator delete(void* block, std::size_t) noexcept { deleteblock(block); }
void operator delete[](void* block, std::size_t) noexcept { deleteblock(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { deleteblock(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { deleteblock(block); }

#endif
