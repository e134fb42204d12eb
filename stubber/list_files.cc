// Reading list files: container files, collect files and failed collect files.
//
// An entry ends at a line feed or a NUL byte; empty entries are skipped and nothing is
// trimmed. Each entry is read afresh at its own offset in pieces of 128 bytes, and the
// file is read up to the size that fstat gave when it was opened.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "stubber/stubber.h"

namespace tarn::stubber {

namespace {

constexpr unsigned long piece_size = 128;

const char* const label = "stubber::create_set_of_files()";

}  // namespace

std::string stubber::read_entry(tarn_api* api, const file_handle& file, unsigned long offset,
                                unsigned long& length, int& error) {
  std::string entry;
  error = 0;
  const tarn_mem::buffer_handle buffer = api->alloc_io_buffer(piece_size);
  if (!buffer) {
    error = ENOMEM;
    length = 0;
    return entry;
  }
  for (;;) {
    const long n = api->read(file, buffer, piece_size, offset, 0);
    if (n <= 0) {
      if (n < 0) error = errno;
      break;
    }
    const char* bytes = buffer->get_base();
    const void* end = std::memchr(bytes, '\n', std::size_t(n));
    const void* nul = std::memchr(bytes, '\0', std::size_t(n));
    if (end == nullptr || (nul != nullptr && nul < end)) end = nul;
    if (end != nullptr) {
      entry.append(bytes, static_cast<const char*>(end));
      break;
    }
    entry.append(bytes, std::size_t(n));
    if (std::size_t(n) < piece_size) break;
    offset += piece_size;
  }
  length = entry.size();
  return entry;
}

// A failed read counts as the end of the entry here.
std::string stubber::fileptr_getline(tarn_api* api, file_handle file, unsigned long offset,
                                     unsigned long& length) {
  int ignored;
  return read_entry(api, file, offset, length, ignored);
}

// A read that fails part way (or a buffer that cannot be had) fails the whole list: a
// partial list would be taken for the complete one.
std::error_code stubber::create_set_of_files(std::string volume_name, volume_handle volume,
                                             tarn_api* api, std::vector<std::string>& list,
                                             std::string path) {
  const file_handle file = api->open(volume, path, 0);
  if (!file) {
    logger.error(label, "Failed to open file %son volume %s", path.c_str(), volume_name.c_str());
    return std::error_code(EFAULT, std::generic_category());
  }
  struct stat record;
  std::memset(&record, 0, sizeof record);
  const std::error_code stat_result = api->fstat(file, &record);
  if (stat_result != success) {
    logger.error(label, "Failed to stat file %son volume %s", path.c_str(), volume_name.c_str());
    api->close(file);
    return stat_result;
  }

  std::vector<std::string> entries;
  const unsigned long size = record.st_size < 0 ? 0 : static_cast<unsigned long>(record.st_size);
  for (unsigned long offset = 0; offset < size;) {
    unsigned long length = 0;
    int error = 0;
    std::string entry = read_entry(api, file, offset, length, error);
    if (error != 0) {
      logger.error(label, "Failed to read file %son volume %s", path.c_str(), volume_name.c_str());
      api->close(file);
      return std::error_code(error, std::generic_category());
    }
    offset += length + 1;
    if (!entry.empty()) entries.push_back(std::move(entry));
  }
  api->close(file);
  list.insert(list.end(), std::make_move_iterator(entries.begin()),
              std::make_move_iterator(entries.end()));
  return success;
}

std::error_code stubber::read_live_list(std::vector<std::string>& list, const std::string& path) {
  return create_set_of_files(livefs_volname, livefs_volume, livefs_api, list, path);
}

}  // namespace tarn::stubber
