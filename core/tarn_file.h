#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/tarn_types.h"
#include "core/tarn_visibility.h"

namespace tarn::backend { class open_file; }

namespace tarn::tarn_file {

// An open file of a volume. A handle is used by one thread at a time for writes;
// reads at explicit offsets may come from several threads.
class TARNCORE_API tarn_file {
 public:
  tarn_file(volume_handle volume, std::string path, std::unique_ptr<backend::open_file> impl,
            std::uint64_t size);
  ~tarn_file();
  tarn_file(const tarn_file&) = delete;
  tarn_file& operator=(const tarn_file&) = delete;

  // The file's size as the library knows it: on a fresh handle, its size when opened.
  std::uint64_t get_file_size() const { return file_size; }

  const volume_handle& volume() const { return volume_; }
  const std::string& path() const { return path_; }
  backend::open_file* impl() const { return impl_.get(); }
  std::unique_ptr<backend::open_file> release_impl();

 private:
  std::uint64_t file_size;
  volume_handle volume_;
  std::string path_;
  std::unique_ptr<backend::open_file> impl_;
};

}  // namespace tarn::tarn_file

namespace tarn {
using file_handle = boost::shared_ptr<tarn_file::tarn_file>;
}
