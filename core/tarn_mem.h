#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include <boost/pool/object_pool.hpp>
#include <boost/shared_ptr.hpp>

#include "core/tarn_visibility.h"

namespace tarn::tarn_mem {

// An I/O buffer. Its memory belongs to the core library and is freed with the last handle.
class TARNCORE_API buff {
 public:
  buff(char* base, std::size_t size) : base(base), size(size) {}
  ~buff();
  buff(const buff&) = delete;
  buff& operator=(const buff&) = delete;

  char* get_base() const { return base; }
  std::size_t get_size() const { return size; }

 private:
  char* base;  // first member: the buffer's base address
  std::size_t size;
};

using buffer_handle = boost::shared_ptr<buff>;

// The core library's allocator. Safe under concurrent calls.
class TARNCORE_API malloc_intfx {
 public:
  long get_page_size() const { return sysconf(_SC_PAGESIZE); }
  // A buffer of `size` bytes at `alignment`; an empty handle when memory cannot be had.
  buffer_handle posix_memalign(std::size_t alignment, std::size_t size);
};

// The allocator of this process; an empty handle when none can be used.
TARNCORE_API boost::shared_ptr<malloc_intfx> get_malloc_intfx();

// A pool of the library's own objects, plus two words that only the library uses.
template <class T>
class mempool {
 public:
  mempool() : pool(32, 0) {}
  mempool(const mempool&) = delete;
  mempool& operator=(const mempool&) = delete;

 private:
  boost::object_pool<T, boost::default_user_allocator_new_delete> pool;
  std::uint64_t allocated = 0;
  std::uint64_t released = 0;
};

}  // namespace tarn::tarn_mem
