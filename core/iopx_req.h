#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>

#include <cstdint>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>
#include <boost/variant.hpp>

#include "core/tarn_core.h"
#include "core/tarn_file.h"
#include "core/tarn_mem.h"
#include "core/tarn_types.h"

namespace tarn::iopx_req {

// The payload of one operation.
struct fop_data {
  std::uint64_t kind = 0;
  boost::variant<iovec*, boost::shared_ptr<tarn_mem::buff>, void*, struct stat*,
                 boost::shared_ptr<struct stat>, struct statvfs*, struct dirent*,
                 boost::shared_ptr<struct dirent>, std::list<tarn_loc::tarn_loc>*,
                 std::list<std::string>*, std::string*>
      payload;
};

// The library's request record. The system never creates one itself.
struct iopx_req {
  file_handle file;
  std::uint64_t offset = 0;
  file_handle target_file;
  std::uint64_t size = 0;
  fop_data data;
  int flags = 0;
  std::string path;
  std::string name;
  completion_handle completion;
  long result = 0;
  tarn_core::mtmap<std::string, long> counters;
  tarn_core::mtmap<std::string, unsigned long> sizes;
  tarn_core::mtmap<std::string, unsigned long> offsets;
  tarn_core::mtmap<std::string, unsigned long> timings;
};

}  // namespace tarn::iopx_req
