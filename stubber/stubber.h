#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "core/tarn_api.h"
#include "core/tarn_debug.h"
#include "core/tarn_types.h"

namespace tarn::stubber {

class window_helpers;
class bytes_in_flight;

// Target paths that a stub run has handed out, with the source path of each, so that no
// two scan files of one run are copied to the same target. Safe under concurrent calls.
class target_claims {
 public:
  enum class outcome {
    taken,         // the target is this source's, and no other copy of it is in flight
    busy,          // a copy of the same source to it is in flight (a source listed twice)
    other_source,  // another source has it: refused for the whole run
  };
  // Claims `target` for a copy of `source`. With `wait`, a busy target is waited for; a
  // caller waits only while it holds no claim of its own, so that no two wait on each
  // other. `created` tells whether this call made the claim.
  outcome claim(const std::string& target, const std::string& source, bool wait, bool& created);
  // The copy to `target` is in place or given up. `forget` drops the claim as well, as if
  // it had never been made.
  void release(const std::string& target, bool forget);
  void clear();

 private:
  struct claim_record {
    std::string source;
    bool copying = false;
  };
  std::mutex mutex;
  std::condition_variable released;
  std::unordered_map<std::string, claim_record> claimed;
};

// Moves files of a live GlusterFS volume out to a backup volume and hands them to the
// archive tool. The host constructs it with the two volume names and calls init().
//
// Every member runs on the host's thread except the workers (begin_stubbing,
// begin_deletion and what they call), which multithreaded_processing runs on threads of
// its own, all sharing this object.
class __attribute__((visibility("default"))) stubber {
 public:
  using worker = std::error_code (stubber::*)(int first, int count, int stride);

  enum operation_code { stub = 1, remove = 2, archive = 3 };

  // Connects to both volumes, reads the cluster configuration file
  // "/run/gluster/shared_storage/livefs.json" and, when the snapshot that it names
  // exists, connects to the snapshot. The configuration reader's exceptions pass through.
  stubber(std::string livefs_volname, std::string backup_volname);
  ~stubber();
  stubber(const stubber&) = delete;
  stubber& operator=(const stubber&) = delete;

  // Runs operation 1 (stub), 2 (delete) or 3 (truncate) on the collect files listed in
  // `container`, a file on the live volume. Returns 0 on success, -1 on failure.
  int init(std::string container, int operation);

  // The local time in asctime form, newline included (25 characters).
  std::string get_current_time();

  // Reading list files (container, collect and failed collect files).
  std::error_code create_set_of_files(std::string volume_name, volume_handle volume,
                                      tarn_api* api, std::vector<std::string>& list,
                                      std::string path);
  std::string fileptr_getline(tarn_api* api, file_handle file, unsigned long offset,
                              unsigned long& length);

  // Runs `w` over `list` (a copy of the list that `w` indexes) on one thread per entry,
  // and at least one per hardware thread.
  int multithreaded_processing(worker w, std::vector<std::string> list, bool check_delete_list);

  // The workers.
  std::error_code begin_stubbing(int first, int count, int stride);
  std::error_code begin_deletion(int first, int count, int stride);

  // Logs a message of the stubbing worker. On a thread that copies a scan file ahead of its
  // turn, the message is held with that file instead and logged when its turn comes.
  static void report(const char* label, const char* format, ...)
      __attribute__((format(printf, 2, 3)));

  // Volume file operations of the stubbing worker.
  std::error_code create_directory(volume_handle volume, std::string path,
                                   std::string volume_name);
  std::error_code file_copy(tarn_api* source_api, tarn_api* target_api, file_handle source,
                            unsigned long source_offset, file_handle target,
                            unsigned long target_offset, unsigned long length);
  void write_to_file(tarn_api* api, volume_handle volume, std::string path, std::string text);
  void create_failed_collectfile(std::string failed_list, std::string failed_path);

  int truncate();
  // Every copy records the scan-file path that it was made from in this attribute.
  static constexpr const char* source_attribute = "trusted.tarn.source";

  void cleanup_container_files(std::string container);

  static tarn_debug logger;

  std::string livefs_volname;
  std::string snap_volname;
  std::string snap_volfile;
  std::string stub_container;
  std::string delete_container;
  std::string backup_volname;
  volume_handle livefs_volume;
  tarn_api* livefs_api = nullptr;
  volume_handle snap_volume;
  tarn_api* snap_api = nullptr;
  volume_handle backup_volume;
  tarn_api* backup_api = nullptr;
  std::vector<std::string> stub_collect_files;
  std::vector<std::string> delete_collect_files;
  std::vector<std::string> cleared_dirs;
  bool snap_ready = false;

 private:
  struct open_files;  // the files that one scan file has open
  struct scan_job;    // one scan file of a copy window

  // What stubbing and deletion derive alike from one collect file.
  struct collect_work {
    std::string prefix;
    std::string backup_directory;
    std::vector<std::string> scan_list;
  };
  // The collect prefix, its snap time and backup directory, and the scan list; failures
  // are logged under `label`.
  std::error_code read_collect_file(const char* label, const std::string& collect_file,
                                    collect_work& work);

  // The list file at `path` on the live volume, appended to `list`.
  std::error_code read_live_list(std::vector<std::string>& list, const std::string& path);
  // One entry of a list file, or the errno of a failed read in `error`.
  std::string read_entry(tarn_api* api, const file_handle& file, unsigned long offset,
                         unsigned long& length, int& error);
  // The "user.snap_time" of the collect prefix; ENOMEM when no buffer could be had.
  std::error_code read_snap_time(const std::string& collect_prefix, std::string& snap_time);
  std::error_code stub_collect_file(const std::string& collect_file);
  // The copy window: scan files from `next` of the list, copied at once, then renamed
  // into place and marked in list order (stubbing.cc).
  std::vector<scan_job> form_window(const collect_work& work, std::size_t next, std::size_t size);
  // Up to `wanted` copies of the spare budget (fewer when it runs low, none when empty).
  int take_spare_copies(int wanted);
  int helpers_for(std::size_t files);
  void copy_window_ahead(std::vector<scan_job>& jobs, const std::string& backup_directory,
                         window_helpers& helpers);
  bool copy_ahead(scan_job& job);
  bool sync_copy(scan_job& job);
  void open_live_file(scan_job& job, bool read_marks);
  bool read_earlier_mark(const file_handle& live, const char* name, std::optional<std::string>& value);
  std::size_t commit_window(std::vector<scan_job>& jobs, const std::string& backup_directory,
                            window_helpers& helpers);
  void rename_into_place(scan_job& job);
  void mark_live_file(scan_job& job);
  bool restore_marks(scan_job& job);
  void report_copy_failure(const scan_job& job);
  void close_window(std::vector<scan_job>& jobs, std::size_t failed, window_helpers& helpers);
  void close_job(scan_job& job, bool after_failure);
  file_handle create_partial_copy(const std::string& partial_path);
  // True when the target may take this source's copy; `occupied` when a file is there.
  bool target_free_for(const std::string& target_path, const std::string& source_path,
                       bool& occupied);
  // The source recorded on the copy at `target_path`: 0, or the errno of the lookup.
  int read_copy_source(const std::string& target_path, std::string& source);
  std::error_code delete_collect_file(const std::string& collect_file);

  // A scan file that failed in this stub run, and the target its copy would have had.
  struct failed_scan_file {
    std::string scan_file;
    std::string backup_directory;
    std::string target_path;
  };
  void record_failure(const std::string& failed_path, failed_scan_file failure);
  // This run's failures listed in the failed collect file `failed_path`, handed out once:
  // false when the path is no failed collect file of this run.
  bool take_failures(const std::string& failed_path, std::vector<failed_scan_file>& failures);
  // The failure pass: removes the copies of this run's failures that nothing names.
  void remove_failed_copies(const std::vector<failed_scan_file>& failures);
  // True when the live file's "trusted.riridized.uuid" names `target_path`, or cannot be
  // read for a reason other than its absence (then nobody can tell that it does not).
  bool live_mark_may_name(const std::string& scan_file, const std::string& target_path);
  int run_stub(const std::string& container);
  int hand_to_archive_tool(const std::string& collect_file);

  std::mutex list_mutex;  // serialises appends to delete_collect_files and cleared_dirs
  std::mutex failed_file_mutex;  // serialises appends to failed collect files
  target_claims claims;   // the current stub run's targets
  // The backup directories that the current stub run has made or found. Workers whose
  // collect files share a prefix ask for each once, one after the other: concurrent mkdirs
  // of one name through one GlusterFS client can give the bricks of a replica pair
  // different gfids, a split-brain directory that fails every call with EIO from then on.
  struct directory_made {
    std::mutex mutex;
    bool made = false;
  };
  std::mutex directories_mutex;  // guards the map; each entry's own mutex guards its mkdir
  std::unordered_map<std::string, directory_made> made_directories;
  // Files in copy windows beyond each worker's first. They hold descriptors (three each on
  // local volumes) and, while they copy, buffers: the budget bounds both for all workers
  // of a run together. Four full windows' worth, so that four collect files copy at full
  // width whatever the window's size.
  static constexpr int full_windows_in_flight = 4;
  std::atomic<int> spare_copies{0};
  void refill_copy_budget() { spare_copies = full_windows_in_flight * backup_api->copy_window(); }
  // Three files of 1 MiB copy at once: on GlusterFS the large set copies 1.6 times as fast
  // as with every file of its windows at once at 2 MiB, and about a fifth faster again at
  // 3 MiB; 1, 4 and 5 MiB do no better.
  static constexpr std::uint64_t copy_bytes_in_flight = 3 << 20;
  std::unique_ptr<bytes_in_flight> copying;
  std::mutex failures_mutex;
  // The current stub run's failures, by failed collect file path.
  std::unordered_map<std::string, std::vector<failed_scan_file>> run_failures;
};

}  // namespace tarn::stubber
