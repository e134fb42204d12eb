#pragma once

// The core library's own blocks (read-ahead, write-behind): large ones page-aligned from the same kept
// mappings as large I/O buffers, small ones from the heap; without the test faults of the
// buffer allocator.

#include <cstddef>

namespace tarn::tarn_mem {

// A block of `size` bytes; nullptr when no memory can be had.
char* take_block(std::size_t size);

// Returns a block from take_block of the same size.
void give_back_block(char* base, std::size_t size);

}  // namespace tarn::tarn_mem
