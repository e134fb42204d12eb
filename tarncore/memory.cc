// Page-aligned I/O buffers from the C library's allocator.

#include <cerrno>
#include <cstdlib>

#include <boost/make_shared.hpp>

#include "core/tarn_mem.h"
#include "tarncore/hooks.h"

namespace tarn::tarn_mem {

buff::~buff() { std::free(base); }

buffer_handle malloc_intfx::posix_memalign(std::size_t alignment, std::size_t size) {
  if (hooks::check(core_testing::operation::alloc, "", "", long(size))) return {};
  void* memory = nullptr;
  if (::posix_memalign(&memory, alignment, size == 0 ? 1 : size) != 0) return {};
  try {
    return boost::make_shared<buff>(static_cast<char*>(memory), size);
  } catch (...) {
    std::free(memory);
    return {};
  }
}

boost::shared_ptr<malloc_intfx> get_malloc_intfx() {
  static const boost::shared_ptr<malloc_intfx> allocator(new malloc_intfx);
  return allocator;
}

}  // namespace tarn::tarn_mem
