// Page-aligned I/O buffers. Large ones are mapped on their own rather than taken from the
// C library's heap: a thousand workers each holding a 32 KiB copy buffer between small,
// long-lived allocations would leave the heap full of holes that it cannot give back,
// and a mapping costs memory only for the pages that are used and returns all of them
// when the buffer goes.

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include <boost/make_shared.hpp>

#include "core/tarn_mem.h"
#include "tarncore/hooks.h"
#include "tarncore/memory.h"

namespace tarn::tarn_mem {

namespace {

constexpr std::size_t mapped_buffer_size = 16 * 1024;  // and larger

std::size_t page_size() { return std::size_t(sysconf(_SC_PAGESIZE)); }

std::size_t whole_pages(std::size_t size) { return (size + page_size() - 1) / page_size() * page_size(); }

bool is_mapped(std::size_t size) { return size >= mapped_buffer_size; }

// A mapping of whole pages whose start lies at `alignment`; nullptr when none can be had.
char* map_aligned(std::size_t alignment, std::size_t size) {
  const std::size_t length = whole_pages(size);
  const std::size_t slack = alignment > page_size() ? alignment : 0;
  void* mapped = ::mmap(nullptr, length + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  char* const start = static_cast<char*>(mapped);
  if (!slack) return start;
  char* const aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + alignment - 1) &
                                                ~std::uintptr_t(alignment - 1));
  if (aligned != start) ::munmap(start, std::size_t(aligned - start));
  char* const end = start + length + slack;
  if (aligned + length != end) ::munmap(aligned + length, std::size_t(end - (aligned + length)));
  return aligned;
}

// A few mapped buffers are kept for reuse: a worker takes a copy buffer for each file,
// and mapping it afresh each time would cost page faults and, in a process of many
// threads, a TLB shootdown at each unmapping.
class kept_buffers {
 public:
  char* take(std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < count; ++i) {
      if (kept[i].length != length) continue;
      char* const base = kept[i].base;
      kept[i] = kept[--count];
      return base;
    }
    return nullptr;
  }
  bool keep(char* base, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    if (count == capacity) return false;
    kept[count++] = {base, length};
    return true;
  }

 private:
  static constexpr std::size_t capacity = 16;
  struct buffer {
    char* base;
    std::size_t length;
  };
  std::mutex mutex;
  buffer kept[capacity] = {};
  std::size_t count = 0;
};

kept_buffers& kept = *new kept_buffers;  // never destroyed: buffers may outlive static objects

void release(char* base, std::size_t size) {
  if (!is_mapped(size))
    std::free(base);
  else if (!kept.keep(base, whole_pages(size)))
    ::munmap(base, whole_pages(size));
}

// Memory of `size` bytes at `alignment`: mapped (a kept mapping when one fits) or from the heap.
char* allocate(std::size_t alignment, std::size_t size) {
  if (!is_mapped(size)) {
    void* allocated = nullptr;
    return ::posix_memalign(&allocated, alignment, size == 0 ? 1 : size) == 0 ? static_cast<char*>(allocated)
                                                                          : nullptr;
  }
  char* memory = alignment <= page_size() ? kept.take(whole_pages(size)) : nullptr;
  return memory ? memory : map_aligned(alignment, size);
}

}  // namespace

// Small blocks need no alignment: page-aligned heap blocks, taken and freed once per file,
// would leave the heap holes that it cannot reuse.
char* take_block(std::size_t size) {
  return is_mapped(size) ? allocate(page_size(), size) : static_cast<char*>(std::malloc(size == 0 ? 1 : size));
}

void give_back_block(char* base, std::size_t size) { release(base, size); }

buff::~buff() { release(base, size); }

buffer_handle malloc_intfx::posix_memalign(std::size_t alignment, std::size_t size) {
  if (hooks::check(core_testing::operation::alloc, "", "", long(size))) return {};
  // The alignments that posix_memalign(3) takes.
  if (alignment == 0 || alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return {};
  char* const memory = allocate(alignment, size);
  if (!memory) return {};
  try {
    return boost::make_shared<buff>(memory, size);
  } catch (...) {
    release(memory, size);
    return {};
  }
}

boost::shared_ptr<malloc_intfx> get_malloc_intfx() {
  static const boost::shared_ptr<malloc_intfx> allocator(new malloc_intfx);
  return allocator;
}

}  // namespace tarn::tarn_mem
