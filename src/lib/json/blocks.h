// Heap blocks of values (array and object blocks, long strings).
//
// A collection holds millions of small blocks of a few sizes. The general
// allocator adds a header and rounds each block up to 16 bytes, which costs
// about a sixth of a typical document's memory, and every fresh page it
// touches must be cleared by the kernel. Small blocks are therefore carved
// from large slabs in 8-byte size classes, without headers, and freed blocks
// wait on a list per class for the next block of that size. The caller
// passes the block's size back when freeing it. Slabs are kept for the
// process, so memory freed by dropping a collection is reused, not returned.
#pragma once

#include <cstddef>

namespace quarn::blocks {

// A block of at least bytes (bytes > 0), aligned to 8; throws std::bad_alloc.
void* allocate(std::size_t bytes);

// Frees a block from allocate(bytes), with the same bytes.
void release(void* block, std::size_t bytes) noexcept;

}  // namespace quarn::blocks
