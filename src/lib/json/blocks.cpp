#include "json/blocks.h"

#include <cstdlib>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quarn::blocks {

namespace {

// Under the sanitizers every block comes from malloc, so that overflows and
// uses after free are still caught block by block.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QUARN_ADDRESS_SANITIZER)
constexpr bool pooled = false;
#else
constexpr bool pooled = true;
#endif

constexpr std::size_t granule = 8;
constexpr std::size_t largest_pooled = 512;
constexpr std::size_t class_count = largest_pooled / granule + 1;
constexpr std::size_t slab_bytes = std::size_t{1} << 20;

struct FreeBlock {
    FreeBlock* next;
};

// No lock: calls into the engine arrive one at a time (the binding holds the
// interpreter's lock for the whole of every call), as the interned key table
// also assumes; a lock here could never be contended, only paid for.
struct Pool {
    FreeBlock* free_lists[class_count] = {};
    char* bump = nullptr;
    char* bump_end = nullptr;
    char* populated = nullptr;  // the slab's pages below this were asked for ahead
};

Pool pool;

std::size_t size_class(std::size_t bytes) noexcept { return (bytes + granule - 1) / granule; }

void* malloc_or_throw(std::size_t bytes) {
    void* memory = std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

// Fresh pages are asked for a few at a time, ahead of the bump pointer, in
// one call rather than a page fault each (a hint: without it, pages fault in
// as usual). Little ahead of need, so that a small collection holds no more.
void populate_ahead() noexcept {
#if defined(MADV_POPULATE_WRITE)
    constexpr std::uintptr_t page = 4096;
    constexpr std::size_t step = std::size_t{64} << 10;
    char* const from = pool.populated > pool.bump ? pool.populated : pool.bump;
    char* const to = static_cast<std::size_t>(pool.bump_end - from) > step ? from + step : pool.bump_end;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(from) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(to) + page - 1) & ~(page - 1);
    (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
    pool.populated = to;
#endif
}

}  // namespace

void* allocate(std::size_t bytes) {
    if (!pooled || bytes > largest_pooled) return malloc_or_throw(bytes);
    const std::size_t index = size_class(bytes);
    const std::size_t rounded = index * granule;
    if (FreeBlock* block = pool.free_lists[index]) {
        // Freed blocks lie all over memory: the next one is fetched while
        // this one is filled, so that the next allocation finds it cached.
        pool.free_lists[index] = block->next;
        if (block->next != nullptr) __builtin_prefetch(block->next, 1);
        return block;
    }
    if (static_cast<std::size_t>(pool.bump_end - pool.bump) < rounded) {
        // The rest of the old slab (less than one block) is given up.
        pool.bump = static_cast<char*>(malloc_or_throw(slab_bytes));
        pool.bump_end = pool.bump + slab_bytes;
        pool.populated = pool.bump;
    }
    void* block = pool.bump;
    pool.bump += rounded;
    if (pool.bump > pool.populated) populate_ahead();
    return block;
}

void release(void* block, std::size_t bytes) noexcept {
    if (!pooled || bytes > largest_pooled) {
        std::free(block);
        return;
    }
    const std::size_t index = size_class(bytes);
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = pool.free_lists[index];
    pool.free_lists[index] = freed;
}

}  // namespace quarn::blocks
