#pragma once

// The seam between the core library's operations and the storage behind a volume.
// Each backend (local directories, GlusterFS) implements these two classes in a file of
// its own. Every operation returns a count or 0 on success and -errno on failure; the
// caller turns that into the result form of its tarn_api operation.

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/tarn_types.h"
#include "tarncore/settings.h"

namespace tarn::backend {

// A block of a file that a handle holds: read ahead of its reads, or written behind its
// writes. Either way it lies at `offset` in the file and holds `length` bytes.
struct file_block {
  explicit file_block(std::size_t limit) : limit(limit) {}
  ~file_block() { release_block(); }
  file_block(const file_block&) = delete;
  file_block& operator=(const file_block&) = delete;
  // A block of at least `size` bytes, taken afresh (and empty) when the one held is smaller;
  // false when no memory can be had.
  bool reserve(std::size_t size);
  void release_block();

  const std::size_t limit;  // reads up to this size, or writes of it, use the block
  std::mutex mutex;  // uncontended: a handle is read or written by one worker at a time
  char* block = nullptr;
  std::size_t capacity = 0;  // up to 256 KiB
  std::uint64_t offset = 0;
  std::size_t length = 0;
};

// An open file. Reads at explicit offsets may come from several threads at once; the
// file is closed by one thread when no other uses it.
class open_file {
 public:
  virtual ~open_file() = default;
  virtual long pread(char* buffer, std::size_t size, std::uint64_t offset) = 0;
  virtual long pwrite(const char* buffer, std::size_t size, std::uint64_t offset) = 0;
  virtual int fstat(struct stat* record) = 0;
  virtual int ftruncate(std::uint64_t length) = 0;
  virtual int fsync() = 0;  // the data on stable storage, write errors reported
  virtual int fsetxattr(const std::string& name, const void* value, std::size_t size,
                        int flags) = 0;
  virtual long fgetxattr(const std::string& name, void* value, std::size_t size) = 0;
  virtual int fremovexattr(const std::string& name) = 0;
  // Everything written to the file's volume on stable storage (see tarn_api::syncfs).
  virtual int syncfs() = 0;
  // Copies up to `size` bytes at `offset` into `target` at `target_offset` inside the
  // storage (see tarn_api::copy_range): the count, 0 at the end of the file, -ENOTSUP
  // where the two files' storage cannot.
  virtual long copy_to(open_file& target, std::uint64_t offset, std::uint64_t target_offset,
                       std::size_t size) {
    (void)target, (void)offset, (void)target_offset, (void)size;
    return -ENOTSUP;
  }
  virtual int close() = 0;

  bool written = false;  // set by the first successful write, for the statistics
  std::unique_ptr<file_block> ahead;  // only on handles opened read-only
  std::unique_ptr<file_block> behind;  // only on handles that write at offsets
};

struct opened {
  std::unique_ptr<open_file> file;
  std::uint64_t size = 0;
  int error = 0;
};

// One volume connection. Safe under concurrent calls from many threads.
class volume {
 public:
  virtual ~volume() = default;
  virtual opened open(const std::string& path, int flags) = 0;
  virtual int mkdir(const std::string& path, mode_t mode) = 0;
  virtual int unlink(const std::string& path) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  // The directory's entries on stable storage (a no-op with sync_copies off).
  virtual int sync_directory(const std::string& path) = 0;

  virtual long getxattr(const std::string& path, const std::string& name, void* value,
                        std::size_t size) = 0;
  // Reads of read-only handles up to this size are served from a block read ahead, which
  // saves a call per read: a round trip on GlusterFS, a system call on local volumes.
  // Larger reads go straight through.
  virtual std::size_t read_ahead_limit() const = 0;
  // Whether consecutive copy chunks of a handle go out as one write (see tarn_api::write).
  virtual bool gathers_writes() const = 0;
  // How many calls at once from one caller pay off (see tarn_api::parallel_calls).
  virtual int parallel_calls() const = 0;
  // Whether syncfs of any file here syncs the whole volume (see tarn_api::syncs_volume).
  virtual bool syncs_volume() const = 0;
};

struct connected {
  std::unique_ptr<volume> connection;
  int error = 0;
};

connected connect_local(const settings::core_settings& s, const iopx_tree_cfg& cfg);
// The largest copy window on local volumes (and its default), from the descriptors the
// process may hold.
int local_copy_window();
int local_snap_volfile(const settings::core_settings& s, const std::string& name,
                       std::string& volfile);

// The GlusterFS backend, loaded from its module on first use (gluster_module.cc).
connected connect_gluster(const settings::core_settings& s, const iopx_tree_cfg& cfg);
int gluster_snap_volfile(const settings::core_settings& s, const std::string& name,
                         std::string& volfile);

// What the module gives: its own connect_gluster and gluster_snap_volfile, through the
// C function named by gluster_backend_symbol.
struct gluster_backend_entry {
  connected (*connect)(const settings::core_settings& s, const iopx_tree_cfg& cfg);
  int (*snap_volfile)(const settings::core_settings& s, const std::string& name,
                      std::string& volfile);
};
constexpr const char* gluster_backend_symbol = "tarncore_gluster_backend";

// Writes out what a handle's write-behind block holds: 0, or -errno of the failed write.
// With `release`, the blocks' memory goes back as well.
int write_out(open_file& impl, bool release = false);

// Open flags that would change a file; refused on read-only (snapshot) connections.
bool open_flags_write(int flags);

// "/a/b", "a/b" and "//a/b" name the same entry: the path without its leading slashes.
std::string inside_volume(const std::string& path);

}  // namespace tarn::backend
