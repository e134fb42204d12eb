// Volume file operations of the stubbing worker: directories on the backup volume, the
// copy between connections, appending text to a file, and failed collect files.

#include <cerrno>
#include <cstring>

#include "stubber/stubber.h"
#include "stubber/volume_reads.h"

namespace tarn::stubber {

namespace {

constexpr unsigned long copy_chunk = 32768;
constexpr int append_flags = 65;  // O_WRONLY | O_CREAT

// Writes exactly `size` bytes from the start of `buffer` at `offset`, going on after a
// short write. Returns 0 or an errno.
int write_fully(tarn_api* api, const file_handle& file, const tarn_mem::buffer_handle& buffer,
                unsigned long size, unsigned long offset, int flags) {
  const long first = api->write(file, buffer, size, offset, flags);
  if (first < 0) return errno;
  if (first == 0 && size > 0) return EIO;
  unsigned long done = static_cast<unsigned long>(first);
  if (done >= size) return 0;
  const tarn_mem::buffer_handle rest = api->alloc_io_buffer(size - done);
  if (!rest) return ENOMEM;
  while (done < size) {
    std::memcpy(rest->get_base(), buffer->get_base() + done, size - done);
    const long n = api->write(file, rest, size - done, offset + done, flags);
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<unsigned long>(n);
  }
  return 0;
}

}  // namespace

std::error_code stubber::create_directory(volume_handle volume, std::string path,
                                          std::string volume_name) {
  directory_made* directory;
  {
    std::lock_guard<std::mutex> lock(directories_mutex);
    directory = &made_directories[path];
  }
  std::lock_guard<std::mutex> lock(directory->mutex);
  if (directory->made) return success;
  const std::error_code result = backup_api->mkdir(volume, path, 0777);
  directory->made = result == success || result.value() == EEXIST;
  if (directory->made) return success;
  logger.error("stubber::create_directory", "Unable to create directory path %s in volume %s",
               path.c_str(), volume_name.c_str());
  return result;
}

std::error_code stubber::file_copy(tarn_api* source_api, tarn_api* target_api, file_handle source,
                                   unsigned long source_offset, file_handle target,
                                   unsigned long target_offset, unsigned long length) {
  const char* const label = "stubber::file_copy";
  // Inside the storage where it can (local volumes on one file system). What it does not
  // copy, the chunks below do: where it cannot, or from where it stopped, so that a failed
  // read or write is reported as the chunks report it.
  for (long copied; length != 0; length -= static_cast<unsigned long>(copied)) {
    copied = source_api->copy_range(source, source_offset, target, target_offset, length);
    if (copied <= 0) break;
    source_offset += static_cast<unsigned long>(copied);
    target_offset += static_cast<unsigned long>(copied);
  }
  const tarn_mem::buffer_handle buffer = length ? source_api->alloc_io_buffer(copy_chunk) : nullptr;
  if (length && !buffer) {
    report(label, "Failed to read data from offset [%llu] error [%d]",
                 static_cast<unsigned long long>(source_offset), ENOMEM);
    return std::error_code(ENOMEM, std::generic_category());
  }
  for (unsigned long remaining = length; remaining != 0;) {
    const unsigned long chunk = remaining < copy_chunk ? remaining : copy_chunk;
    if (const int error = read_fully(source_api, source, buffer, chunk, source_offset)) {
      report(label, "Failed to read data from offset [%llu] error [%d]",
                   static_cast<unsigned long long>(source_offset), error);
      return std::error_code(error, std::generic_category());
    }
    source_offset += chunk;
    if (const int error = write_fully(target_api, target, buffer, chunk, target_offset, 0)) {
      report(label, "Failed to write data to offset [%llu] error [%d]",
                   static_cast<unsigned long long>(target_offset), error);
      return std::error_code(error, std::generic_category());
    }
    target_offset += chunk;
    remaining -= chunk;
  }
  return success;
}

// Appends at the size that the fresh handle reports: the caller is the file's only writer.
void stubber::write_to_file(tarn_api* api, volume_handle volume, std::string path,
                            std::string text) {
  const file_handle file = api->open(volume, path, append_flags);
  if (!file) return;
  const tarn_mem::buffer_handle buffer = api->alloc_io_buffer(text.size() + 1);
  if (buffer) {
    std::memcpy(buffer->get_base(), text.data(), text.size());
    write_fully(api, file, buffer, text.size(), file->get_file_size(), append_flags);
  }
  api->close(file);
}

int stubber::read_copy_source(const std::string& target_path, std::string& source) {
  return read_attribute(backup_api, backup_volume, target_path, source_attribute, source);
}

// write_to_file appends at the size it has just read: a container that names a collect
// file twice has two workers append to one failed collect file, one after the other.
void stubber::create_failed_collectfile(std::string failed_list, std::string failed_path) {
  if (failed_list.empty()) return;
  {
    std::lock_guard<std::mutex> lock(failed_file_mutex);
    write_to_file(livefs_api, livefs_volume, failed_path, failed_list);
  }
  std::lock_guard<std::mutex> lock(list_mutex);
  delete_collect_files.push_back(failed_path);
}

void stubber::record_failure(const std::string& failed_path, failed_scan_file failure) {
  std::lock_guard<std::mutex> lock(failures_mutex);
  run_failures[failed_path].push_back(std::move(failure));
}

bool stubber::take_failures(const std::string& failed_path, std::vector<failed_scan_file>& failures) {
  std::lock_guard<std::mutex> lock(failures_mutex);
  const auto found = run_failures.find(failed_path);
  if (found == run_failures.end()) return false;
  failures.swap(found->second);  // a second entry of the same path finds nothing left
  return true;
}

}  // namespace tarn::stubber
