#pragma once

// Reads through the core library that the stubber's workers and the audit share.

#include <cerrno>
#include <cstring>
#include <string>

#include "core/tarn_api.h"

namespace tarn::stubber {

// An attribute of `path`, read once into a buffer large enough for any path: 0, or the
// errno of the lookup (ENODATA: no such attribute).
inline int read_attribute(tarn_api* api, const volume_handle& volume, const std::string& path,
                          const char* name, std::string& value) {
  char buffer[4096];
  iovec vector{buffer, sizeof buffer};
  const long length = api->getxattr(volume, path, name, &vector);
  if (length < 0) return errno;
  value.assign(buffer, std::size_t(length));
  return 0;
}

// Reads exactly `size` bytes at `offset` into the start of `buffer`. A short read goes on
// where it stopped; the end of data before `size` bytes is EIO. Returns 0 or an errno.
inline int read_fully(tarn_api* api, const file_handle& file, const tarn_mem::buffer_handle& buffer,
                      unsigned long size, unsigned long offset) {
  const long first = api->read(file, buffer, size, offset, 0);
  if (first < 0) return errno;
  unsigned long done = static_cast<unsigned long>(first);
  if (done >= size) return 0;
  // Rare: continue through a scratch buffer, since reads land at a buffer's start.
  const tarn_mem::buffer_handle rest = api->alloc_io_buffer(size - done);
  if (!rest) return ENOMEM;
  while (done < size) {
    const long n = api->read(file, rest, size - done, offset + done, 0);
    if (n < 0) return errno;
    if (n == 0) return EIO;
    std::memcpy(buffer->get_base() + done, rest->get_base(), std::size_t(n));
    done += static_cast<unsigned long>(n);
  }
  return 0;
}

}  // namespace tarn::stubber
