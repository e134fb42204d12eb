#pragma once

// The core library's own page-aligned blocks (read-ahead), from the same kept mappings
// as large I/O buffers and without the test faults of the buffer allocator.

#include <cstddef>

namespace tarn::tarn_mem {

// `size` bytes of whole pages, page aligned; nullptr when no memory can be had.
char* take_pages(std::size_t size);

// Returns a block from take_pages of the same size.
void give_back_pages(char* base, std::size_t size);

}  // namespace tarn::tarn_mem
