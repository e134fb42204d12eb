// The stubbing worker: copies each scan file from the snapshot volume to the backup
// volume and then marks the live file with where its copy lies and which version it is.
//
// A copy is written under a partial name beside its target and takes the target's name
// only when it is complete, on stable storage and records its source, so that a failed or
// killed copy never spoils the copy that an earlier run's marks name. A live file is marked
// only after that rename, and "trusted.riridized.uuid" is always set before "trusted.farstow.mtime".

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <boost/lexical_cast.hpp>

#include "stubber/naming.h"
#include "stubber/stubber.h"

namespace tarn::stubber {

namespace {

const char* const label = "stubber::begin_stubbing()";
const char* const copy_attribute = "trusted.riridized.uuid";
const char* const mtime_attribute = "trusted.farstow.mtime";

// A partial copy is always a new file: one that a killed run left is removed first.
constexpr int partial_flags = O_RDWR | O_CREAT | O_EXCL;
constexpr std::size_t attribute_value_size = 4096;

const std::error_code scan_file_failed(EFAULT, std::generic_category());

// Sets one attribute from the fixed value buffer; a value that does not fit is refused.
bool set_attribute(tarn_api* api, const file_handle& file, const char* name,
                   const std::string& text) {
  char value[attribute_value_size];
  if (text.size() > sizeof value) return false;
  std::memcpy(value, text.data(), text.size());
  iovec vector{value, text.size()};
  return api->fsetxattr(file, name, &vector, 0) == success;
}

}  // namespace

// True when the copy at `target_path` is missing, records `source_path` as its source, or
// records no source at all (made before copies recorded one).
bool stubber::target_free_for(const std::string& target_path, const std::string& source_path) {
  std::string source;
  switch (read_copy_source(target_path, source)) {
    case 0:
      return source == source_path;
    case ENOENT:
    case ENODATA:
      return true;
    default:
      return false;
  }
}

struct stubber::open_files {
  file_handle live;
  file_handle source;
  file_handle target;    // the partial copy
  std::string partial;   // its path, while it has not taken the target's name
  std::shared_ptr<std::mutex> copy_lock;  // the target's, held until the partial is gone
  std::unique_lock<std::mutex> copying;
};

// The partial copy at `partial_path`, made afresh; empty on failure (errno set).
file_handle stubber::create_partial_copy(const std::string& partial_path) {
  file_handle file = backup_api->open(backup_volume, partial_path, partial_flags);
  if (!file && errno == EEXIST && backup_api->unlink(backup_volume, partial_path) == success)
    file = backup_api->open(backup_volume, partial_path, partial_flags);
  return file;
}

std::error_code stubber::begin_stubbing(int first, int count, int stride) {
  for (int i = 0; i < count; ++i) {
    const std::error_code result = stub_collect_file(stub_collect_files[first + i * stride]);
    if (result != success) return result;
  }
  return success;
}

std::error_code stubber::stub_collect_file(const std::string& collect_file) {
  const std::string failed_path = collect_file + ".failed";
  collect_work work;
  if (const std::error_code result = read_collect_file(label, collect_file, work); result != success)
    return result;
  for (const std::string& directory : {work.prefix, work.backup_directory}) {
    const std::error_code result = create_directory(backup_volume, directory, backup_volname);
    if (result != success) {
      logger.error(label, "Failed to create directory %s on volume %s.", directory.c_str(),
                   backup_volname.c_str());
      return result;
    }
  }

  for (const std::string& source_path : work.scan_list) {
    open_files files;
    const bool stubbed = stub_scan_file(source_path, work.backup_directory, files);
    if (!stubbed) {
      record_failure(failed_path, {source_path, work.backup_directory,
                                   naming::target_path(work.backup_directory, source_path)});
      create_failed_collectfile(source_path + "\n", failed_path);
    }
    if (files.live) livefs_api->close(files.live);
    if (files.source) snap_api->close(files.source);
    if (files.target) backup_api->close(files.target);
    if (!files.partial.empty()) backup_api->unlink(backup_volume, files.partial);
    if (!stubbed) return scan_file_failed;
  }
  return success;
}

// Copies one scan file and marks its live file; false on the first failure, which it logs.
// Whatever it opened is left in `files` for the caller to close.
bool stubber::stub_scan_file(const std::string& source_path, const std::string& backup_directory,
                             open_files& files) {
  const std::string target_path = naming::target_path(backup_directory, source_path);

  // Without a snapshot connection there is nothing to copy from.
  if (snap_ready && snap_api) files.source = snap_api->open(snap_volume, source_path, O_RDONLY);
  if (!files.source) {
    logger.error(label, "Failed to open scan file %son volume %s", source_path.c_str(),
                 snap_volname.c_str());
    return false;
  }
  // A target that belongs to another scan file, in this run or an earlier one, would be
  // replaced while that file's mark still names it.
  const std::string partial_path = naming::partial_copy_path(target_path);
  files.copy_lock = claims.claim(target_path, source_path);
  if (files.copy_lock) files.copying = std::unique_lock<std::mutex>(*files.copy_lock);
  if (files.copy_lock && target_free_for(target_path, source_path))
    files.target = create_partial_copy(partial_path);
  if (files.target) files.partial = partial_path;
  if (files.target && !set_attribute(backup_api, files.target, source_attribute, source_path)) {
    backup_api->close(files.target);
    files.target.reset();
  }
  if (!files.target) {
    logger.error(label, "Failed to open scan file %son volume %s", target_path.c_str(),
                 backup_volname.c_str());
    return false;
  }
  struct stat record;
  std::memset(&record, 0, sizeof record);
  if (snap_api->fstat(files.source, &record) != success) {
    logger.error(label, "Failed to stat scan file %son volume %s", source_path.c_str(),
                 snap_volname.c_str());
    return false;
  }
  const unsigned long size = static_cast<unsigned long>(record.st_size);
  // The partial copy is a new file, so it holds exactly the snapshot's bytes; it is on
  // stable storage before it takes the target's name.
  const bool copied =
      file_copy(snap_api, backup_api, files.source, 0, files.target, 0, size) == success &&
      backup_api->fsync(files.target) == success;
  if (!copied) {
    logger.error(label, "Failed to copy scan file %sto %s on %s", source_path.c_str(),
                 target_path.c_str(), backup_volname.c_str());
    return false;
  }
  // O_RDWR without O_CREAT: a file deleted from the live volume since the snapshot is not
  // brought back empty and marked. Opened before the rename, so that a live file that is
  // gone leaves an earlier copy at the target as it was.
  files.live = livefs_api->open(livefs_volume, source_path, O_RDWR);
  if (!files.live) {
    logger.error(label, "Failed to open scan file %son volume %s", source_path.c_str(),
                 livefs_volname.c_str());
    return false;
  }
  if (backup_api->rename(backup_volume, partial_path, target_path) != success) {
    logger.error(label, "Failed to copy scan file %sto %s on %s", source_path.c_str(),
                 target_path.c_str(), backup_volname.c_str());
    return false;
  }
  files.partial.clear();
  return set_attribute(livefs_api, files.live, copy_attribute, target_path) &&
         set_attribute(livefs_api, files.live, mtime_attribute,
                       boost::lexical_cast<std::string>(record.st_mtime));
}

}  // namespace tarn::stubber
