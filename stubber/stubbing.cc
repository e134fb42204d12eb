// The stubbing worker: copies each scan file from the snapshot volume to the backup
// volume and then marks the live file with where its copy lies and which version it is.
//
// A copy is written under a partial name beside its target and takes the target's name
// only when it is complete, on stable storage and records its source, so that a failed or
// killed copy never spoils the copy that an earlier run's marks name. A live file is marked
// only after that rename is durable, and "trusted.riridized.uuid" is always set before
// "trusted.farstow.mtime".
//
// A worker copies a window of scan files of its collect file at once, so that their syncs
// (and on GlusterFS their round trips) overlap, and then renames and marks them in list
// order. The outcome is that of copying them one by one: every file before the first
// failure is stubbed, the failing one is the one recorded, and the files after it are
// neither renamed into place nor marked; their messages are never logged.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include <boost/lexical_cast.hpp>

#include "stubber/naming.h"
#include "stubber/stubber.h"
#include "stubber/window_helpers.h"

namespace tarn::stubber {

namespace {

const char* const label = "stubber::begin_stubbing()";
const char* const copy_attribute = "trusted.riridized.uuid";
const char* const mtime_attribute = "trusted.farstow.mtime";

// A partial copy is always a new file: one that a killed run left is removed first.
constexpr int partial_flags = O_RDWR | O_CREAT | O_EXCL;
constexpr std::size_t attribute_value_size = 4096;

const std::error_code scan_file_failed(EFAULT, std::generic_category());

using held_messages = std::vector<std::pair<const char*, std::string>>;

// The messages of the scan file that this thread copies ahead of its turn, if any.
thread_local held_messages* holding = nullptr;

// Holds this thread's messages with one scan file for as long as it lives.
class messages_held_in {
 public:
  explicit messages_held_in(held_messages& messages) { holding = &messages; }
  ~messages_held_in() { holding = nullptr; }
  messages_held_in(const messages_held_in&) = delete;
  messages_held_in& operator=(const messages_held_in&) = delete;
};

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

void stubber::report(const char* label, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char text[1024];
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  std::string message(text, std::size_t(std::clamp(length, 0, int(sizeof text) - 1)));
  if (length >= int(sizeof text)) {
    message.resize(std::size_t(length) + 1);
    va_start(arguments, format);
    std::vsnprintf(&message[0], message.size(), format, arguments);
    va_end(arguments);
    message.resize(std::size_t(length));
  }
  if (holding) holding->emplace_back(label, std::move(message));
  else logger.error(label, "%s", message.c_str());
}

// True when the copy at `target_path` is missing, records `source_path` as its source, or
// records no source at all (made before copies recorded one). `occupied`: a file is there.
bool stubber::target_free_for(const std::string& target_path, const std::string& source_path,
                              bool& occupied) {
  std::string source;
  const int lookup = read_copy_source(target_path, source);
  occupied = lookup != ENOENT;
  switch (lookup) {
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
  file_handle target;   // the partial copy
  std::string partial;  // its path, while it has not taken the target's name
};

struct stubber::scan_job {
  std::string source_path;
  std::string target_path;
  target_claims::outcome claim = target_claims::outcome::other_source;
  bool claim_created = false;  // this job made the claim
  bool source_opened = false;  // so far the serial order would have claimed the target
  bool copied = false;         // the partial copy is complete and synced
  bool replaces = false;       // a file was at the target
  bool earlier_known = false;  // the live file's marks before this run were read
  bool renamed = false;
  bool uuid_set = false;
  bool mtime_set = false;
  // The live file's marks before this run, put back should the serial order never have
  // reached this file after all.
  std::optional<std::string> earlier_uuid;
  std::optional<std::string> earlier_mtime;
  std::time_t mtime = 0;
  open_files files;
  held_messages messages;       // logged when its turn comes, in list order
  held_messages live_messages;  // the live file's, logged after those of a complete copy

  bool ready() const { return copied && files.live; }
  // Whether its rename and marks can be undone exactly, should a file before it fail.
  bool undoable() const { return !replaces && earlier_known; }
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

  // The window's size is settled once for the collect file, from what the shared budget
  // has to spare, and so are the threads that help with it. A window of one is the serial
  // order itself.
  const std::size_t window = std::min<std::size_t>(std::size_t(backup_api->copy_window()), work.scan_list.size());
  const int spare = take_spare_copies(int(window) - 1);
  std::error_code result = success;
  {
    window_helpers helpers(spare > 0 ? helpers_for(std::size_t(spare) + 1) : 0);
    for (std::size_t next = 0; next < work.scan_list.size();) {
      std::vector<scan_job> jobs = form_window(work, next, std::size_t(spare) + 1);
      if (jobs.size() == 1) {
        messages_held_in held(jobs[0].messages);
        if (copy_ahead(jobs[0]) && sync_copy(jobs[0])) open_live_file(jobs[0], false);
      } else {
        copy_window_ahead(jobs, work.backup_directory, helpers);
      }
      const std::size_t failed = commit_window(jobs, work.backup_directory, helpers);
      if (failed < jobs.size()) {
        const scan_job& job = jobs[failed];
        record_failure(failed_path, {job.source_path, work.backup_directory, job.target_path});
        create_failed_collectfile(job.source_path + "\n", failed_path);
      }
      close_window(jobs, failed, helpers);
      if (failed < jobs.size()) {
        result = scan_file_failed;
        break;
      }
      next += jobs.size();
    }
  }
  spare_copies += spare;
  return result;
}

// Copies the window's files at once and opens their live files, then makes the copies
// durable together: with one sync of the backup volume where it has one (it covers what
// was written since `batch` was opened, before the copies began), otherwise, or when it
// reports an error that may be any file's, with their own syncs at once. The live files
// are opened while that sync runs, on the threads that would otherwise wait for it:
// opening a file and reading its marks write nothing, so the journal commit that the sync
// waits for does not hold them up as it would the copies' creates. Without a sync of the
// volume they are opened beside the copies.
void stubber::copy_window_ahead(std::vector<scan_job>& jobs, const std::string& backup_directory,
                                window_helpers& helpers) {
  const file_handle batch = backup_api->syncs_volume(backup_volume)
                                ? backup_api->open(backup_volume, backup_directory, O_RDONLY | O_DIRECTORY)
                                : file_handle();
  const std::size_t files = jobs.size();
  const auto copy_or_open_live = [&](std::size_t step) {
    scan_job& job = jobs[step % files];
    messages_held_in held(step < files ? job.messages : job.live_messages);
    if (step < files) copy_ahead(job);
    else open_live_file(job, true);
  };
  helpers.run(batch ? files : 2 * files, copy_or_open_live);
  std::error_code volume_synced = scan_file_failed;
  if (batch) {
    helpers.run(files + 1, [&](std::size_t step) {
      if (step == 0) volume_synced = backup_api->syncfs(batch);
      else copy_or_open_live(files + step - 1);
    });
    backup_api->close(batch);
  }
  if (volume_synced == success) return;
  helpers.run(files, [&](std::size_t i) {
    messages_held_in held(jobs[i].messages);
    if (jobs[i].copied) sync_copy(jobs[i]);
  });
}

// Threads beside the worker's own for a window of `files`: two a file (each file opens
// its live file while it copies) where calls wait on the network, as many as pay off on
// the backup volume otherwise.
int stubber::helpers_for(std::size_t files) {
  const std::size_t useful = std::size_t(std::max(1, backup_api->parallel_calls(backup_volume)));
  return int(std::min(2 * files, useful) - 1);
}

// Up to `size` scan files from `next`, each with its target claimed. The window ends
// before a target that a copy in flight already has: the first of a window waits for it,
// holding no claim of its own.
std::vector<stubber::scan_job> stubber::form_window(const collect_work& work, std::size_t next,
                                                    std::size_t size) {
  std::vector<scan_job> jobs;
  jobs.reserve(size);
  for (std::size_t i = next; i < work.scan_list.size() && jobs.size() < size; ++i) {
    scan_job job;
    job.source_path = work.scan_list[i];
    job.target_path = naming::target_path(work.backup_directory, job.source_path);
    job.claim = claims.claim(job.target_path, job.source_path, jobs.empty(), job.claim_created);
    if (job.claim == target_claims::outcome::busy) break;
    jobs.push_back(std::move(job));
  }
  return jobs;
}

int stubber::take_spare_copies(int wanted) {
  int free = spare_copies.load();
  while (wanted > 0 && free > 0) {
    const int taken = std::min(wanted, free);
    if (spare_copies.compare_exchange_weak(free, free - taken)) return taken;
  }
  return 0;
}

// Copies one scan file to its partial copy: false on the first failure, which it
// reports. Whatever it opened is left in the job for close_window.
bool stubber::copy_ahead(scan_job& job) {
  open_files& files = job.files;
  const std::string& source_path = job.source_path;
  const std::string& target_path = job.target_path;

  // Without a snapshot connection there is nothing to copy from.
  if (snap_ready && snap_api) files.source = snap_api->open(snap_volume, source_path, O_RDONLY);
  if (!files.source) {
    report(label, "Failed to open scan file %son volume %s", source_path.c_str(),
           snap_volname.c_str());
    return false;
  }
  job.source_opened = true;
  // A target that belongs to another scan file, in this run or an earlier one, would be
  // replaced while that file's mark still names it.
  const std::string partial_path = naming::partial_copy_path(target_path);
  if (job.claim == target_claims::outcome::taken &&
      target_free_for(target_path, source_path, job.replaces))
    files.target = create_partial_copy(partial_path);
  if (files.target) files.partial = partial_path;
  if (files.target && !set_attribute(backup_api, files.target, source_attribute, source_path)) {
    backup_api->close(files.target);
    files.target.reset();
  }
  if (!files.target) {
    report(label, "Failed to open scan file %son volume %s", target_path.c_str(),
           backup_volname.c_str());
    return false;
  }
  struct stat record;
  std::memset(&record, 0, sizeof record);
  if (snap_api->fstat(files.source, &record) != success) {
    report(label, "Failed to stat scan file %son volume %s", source_path.c_str(),
           snap_volname.c_str());
    return false;
  }
  job.mtime = record.st_mtime;
  const unsigned long size = static_cast<unsigned long>(record.st_size);
  // The partial copy is a new file, so it holds exactly the snapshot's bytes. What the
  // handles hold back goes out now, so that a window of copies holds no buffers while it
  // waits for its syncs.
  const bytes_in_flight::taken turn(*copying, size);
  const bool copied = file_copy(snap_api, backup_api, files.source, 0, files.target, 0, size) == success &&
                      backup_api->flush(files.target) == success;
  snap_api->flush(files.source);
  if (!copied) {
    report_copy_failure(job);
    return false;
  }
  job.copied = true;
  return true;
}

// Puts the partial copy on stable storage before it may take the target's name.
bool stubber::sync_copy(scan_job& job) {
  if (backup_api->fsync(job.files.target) == success) return true;
  job.copied = false;
  report_copy_failure(job);
  return false;
}

// Opens the live file and, with `read_marks`, reads its marks (for a window, whose later
// files may have to get them back), beside the copy. The serial order opens it once
// the copy is complete: its messages are logged only when the copy succeeded. O_RDWR
// without O_CREAT: a file deleted from the live volume since the snapshot is not brought
// back empty and marked. Opened before the rename, so that a live file that is gone
// leaves an earlier copy at the target as it was.
void stubber::open_live_file(scan_job& job, bool read_marks) {
  job.files.live = livefs_api->open(livefs_volume, job.source_path, O_RDWR);
  if (!job.files.live) {
    report(label, "Failed to open scan file %son volume %s", job.source_path.c_str(),
           livefs_volname.c_str());
    return;
  }
  if (!read_marks) return;
  job.earlier_known = read_earlier_mark(job.files.live, copy_attribute, job.earlier_uuid) &&
                      read_earlier_mark(job.files.live, mtime_attribute, job.earlier_mtime);
}

// The live file's mark `name` into `value`, nothing when it has none; false when it
// cannot be read.
bool stubber::read_earlier_mark(const file_handle& live, const char* name,
                                std::optional<std::string>& value) {
  char text[attribute_value_size];
  iovec vector{text, sizeof text};
  const long length = livefs_api->fgetxattr(live, name, &vector);
  if (length >= 0) value = std::string(text, std::size_t(length));
  return length >= 0 || errno == ENODATA;
}

// Renames the window's copies into place and marks their live files, up to the first
// failure in list order, whose index it returns (the window's size when none failed).
//
// A run of copies is renamed at once, made durable by one directory sync, and marked at
// once. Only the first copy of a run may replace a file at its target or have marks that
// could not be read. Should a rename or a mark fail, the copies after it in the run are
// therefore all at targets that were free: close_window puts their live files' marks
// back as they were and removes them, which leaves both volumes as the serial order
// would have.
std::size_t stubber::commit_window(std::vector<scan_job>& jobs, const std::string& backup_directory,
                                   window_helpers& helpers) {
  std::size_t next = 0;
  while (next < jobs.size() && jobs[next].ready()) {
    std::size_t end = next + 1;
    while (end < jobs.size() && jobs[end].ready() && jobs[end].undoable()) ++end;
    helpers.run(end - next, [&](std::size_t i) { rename_into_place(jobs[next + i]); });
    std::size_t renamed = next;
    while (renamed < end && jobs[renamed].renamed) ++renamed;
    if (renamed > next && backup_api->sync_directory(backup_volume, backup_directory) != success) {
      report_copy_failure(jobs[next]);
      return next;
    }
    helpers.run(renamed - next, [&](std::size_t i) { mark_live_file(jobs[next + i]); });
    for (std::size_t i = next; i < renamed; ++i)
      if (!jobs[i].mtime_set) return i;
    if (renamed < end) {
      report_copy_failure(jobs[renamed]);
      return renamed;
    }
    next = end;
  }
  if (next < jobs.size()) {
    const scan_job& job = jobs[next];
    for (const held_messages* held : {&job.messages, &job.live_messages}) {
      for (const auto& [function, text] : *held) logger.error(function, "%s", text.c_str());
      if (!job.copied) break;
    }
  }
  return next;
}

void stubber::report_copy_failure(const scan_job& job) {
  report(label, "Failed to copy scan file %sto %s on %s", job.source_path.c_str(),
         job.target_path.c_str(), backup_volname.c_str());
}

void stubber::rename_into_place(scan_job& job) {
  if (backup_api->rename(backup_volume, job.files.partial, job.target_path) != success) return;
  job.files.partial.clear();
  job.renamed = true;
}

void stubber::mark_live_file(scan_job& job) {
  job.uuid_set = set_attribute(livefs_api, job.files.live, copy_attribute, job.target_path);
  job.mtime_set = job.uuid_set && set_attribute(livefs_api, job.files.live, mtime_attribute,
                                                boost::lexical_cast<std::string>(job.mtime));
}

// Puts a live file's marks back as they were before this run: the mtime mark first, so
// that the file never carries a version mark beside a uuid that names another copy. False
// when one of them could not be put back.
bool stubber::restore_marks(scan_job& job) {
  const auto restore = [&](bool set, const char* name, const std::optional<std::string>& earlier) {
    if (!set) return true;
    return earlier ? set_attribute(livefs_api, job.files.live, name, *earlier)
                   : livefs_api->fremovexattr(job.files.live, name) == success;
  };
  return restore(job.mtime_set, mtime_attribute, job.earlier_mtime) &&
         restore(job.uuid_set, copy_attribute, job.earlier_uuid);
}

// Closes what the window opened and removes its partial copies, a file a step, on the
// helpers: closing a window's thousands of descriptors one by one took as long as its
// renames. The files after the failing one were never reached as far as the serial order
// goes: their marks are put back and their targets, which were free, are free again.
// Claims that the serial order would not have made are dropped.
void stubber::close_window(std::vector<scan_job>& jobs, std::size_t failed, window_helpers& helpers) {
  helpers.run(jobs.size(), [&](std::size_t i) { close_job(jobs[i], i > failed); });
}

void stubber::close_job(scan_job& job, bool after_failure) {
  open_files& files = job.files;
  // A copy that a mark may still name stays where it is.
  if (after_failure && restore_marks(job) && job.renamed) backup_api->unlink(backup_volume, job.target_path);
  if (files.live) livefs_api->close(files.live);
  if (files.source) snap_api->close(files.source);
  if (files.target) backup_api->close(files.target);
  if (!files.partial.empty()) backup_api->unlink(backup_volume, files.partial);
  if (job.claim == target_claims::outcome::taken) {
    const bool reached = !after_failure && job.source_opened;
    claims.release(job.target_path, job.claim_created && !reached);
  }
}

}  // namespace tarn::stubber
