// Volumes that are directories of the local file system: volume V is <local_root>/V and
// snapshot S is the read-only directory <local_snapshots>/S.
//
// Every path is resolved with openat2(RESOLVE_BENEATH) from the volume's root directory,
// so neither ".." nor a symbolic link inside the volume reaches a file outside it; such
// paths fail like missing files (ENOENT).

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "tarncore/backend.h"

namespace tarn::backend {
namespace {

// Mode of files and directories created here; copies of users' files stay private.
constexpr mode_t created_file_mode = 0600;

long negative_errno() { return -long(errno); }

// EXDEV is how RESOLVE_BENEATH refuses an escape: report it as a missing file.
int resolve_error(int error) { return error == EXDEV ? ENOENT : error; }

int open_beneath(int root, const std::string& relative, int flags, mode_t mode) {
  if (relative.empty()) {
    errno = ENOENT;
    return -1;
  }
  open_how how{};
  // openat2 takes nothing beside O_PATH but O_DIRECTORY, O_NOFOLLOW and O_CLOEXEC.
  how.flags = std::uint64_t(flags | O_CLOEXEC | ((flags & O_PATH) ? 0 : O_NOCTTY));
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  int fd;
  do {
    fd = int(syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) errno = resolve_error(errno);
  return fd;
}

// Splits "a/b/c/" into the directory "a/b" and the name "c".
struct split_path {
  std::string directory;
  std::string name;
  int error = 0;
};

split_path split_parent(const std::string& path) {
  std::string relative = inside_volume(path);
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  if (relative.empty()) return {"", "", path.empty() ? ENOENT : EEXIST};
  const auto slash = relative.rfind('/');
  if (slash == std::string::npos) return {".", relative, 0};
  return {relative.substr(0, slash), relative.substr(slash + 1), 0};
}

// The directory of a path resolved beneath root, and the path's name in it.
struct parent_and_name {
  int parent_fd = -1;
  std::string name;
  int error = 0;
};

parent_and_name open_parent(int root, const split_path& parts) {
  if (parts.error) return {-1, "", parts.error};
  const int fd = open_beneath(root, parts.directory, O_PATH | O_DIRECTORY, 0);
  if (fd < 0) return {-1, "", errno};
  return {fd, parts.name, 0};
}

parent_and_name open_parent(int root, const std::string& path) {
  return open_parent(root, split_parent(path));
}

// Puts the entries of the directory `directory_fd` (an O_PATH descriptor will do) on stable
// storage: a new name in it then outlives a power cut. 0 or an errno.
int sync_directory_fd(int directory_fd) {
  const int fd = ::openat(directory_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fsync(fd) < 0 ? errno : 0;
  ::close(fd);
  return error;
}

class local_file final : public open_file {
 public:
  local_file(int fd, bool read_only, bool sync, const struct stat& opened_record)
      : fd(fd), read_only(read_only), sync(sync), opened_record(opened_record) {}
  ~local_file() override { close(); }

  long pread(char* buffer, std::size_t size, std::uint64_t offset) override {
    ssize_t n;
    do n = ::pread(fd, buffer, size, off_t(offset)); while (n < 0 && errno == EINTR);
    return n < 0 ? negative_errno() : long(n);
  }

  long pwrite(const char* buffer, std::size_t size, std::uint64_t offset) override {
    if (read_only) return -EROFS;
    ssize_t n;
    do n = ::pwrite(fd, buffer, size, off_t(offset)); while (n < 0 && errno == EINTR);
    return n < 0 ? negative_errno() : long(n);
  }

  // A snapshot never changes: its file's attributes are those it had when opened.
  int fstat(struct stat* record) override {
    if (read_only) {
      *record = opened_record;
      return 0;
    }
    return ::fstat(fd, record) < 0 ? int(negative_errno()) : 0;
  }

  int ftruncate(std::uint64_t length) override {
    if (read_only) return -EROFS;
    return ::ftruncate(fd, off_t(length)) < 0 ? int(negative_errno()) : 0;
  }

  int fsync() override {
    if (!sync) return 0;
    return ::fdatasync(fd) < 0 ? int(negative_errno()) : 0;
  }

  int fsetxattr(const std::string& name, const void* value, std::size_t size,
                int flags) override {
    if (read_only) return -EROFS;
    return ::fsetxattr(fd, name.c_str(), value, size, flags) < 0 ? int(negative_errno()) : 0;
  }

  // The errors of write-outs since the descriptor was opened, whichever file's.
  int syncfs() override {
    if (!sync) return 0;
    return ::syncfs(fd) < 0 ? int(negative_errno()) : 0;
  }

  // The kernel moves the pages itself: one pass over the data and no system call per chunk.
  // Between file systems that cannot copy to each other the caller copies through a buffer.
  long copy_to(open_file& target, std::uint64_t offset, std::uint64_t target_offset,
               std::size_t size) override {
    auto* local = dynamic_cast<local_file*>(&target);
    if (!local) return -ENOTSUP;
    if (local->read_only) return -EROFS;
    loff_t in = loff_t(offset), out = loff_t(target_offset);
    ssize_t n;
    do n = ::copy_file_range(fd, &in, local->fd, &out, size, 0); while (n < 0 && errno == EINTR);
    if (n >= 0) return long(n);
    const int error = errno;
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ? -ENOTSUP : -error;
  }

  long fgetxattr(const std::string& name, void* value, std::size_t size) override {
    const ssize_t n = ::fgetxattr(fd, name.c_str(), value, size);
    return n < 0 ? negative_errno() : long(n);
  }

  int fremovexattr(const std::string& name) override {
    if (read_only) return -EROFS;
    return ::fremovexattr(fd, name.c_str()) < 0 ? int(negative_errno()) : 0;
  }

  int close() override {
    if (fd < 0) return -EBADF;
    const int result = ::close(fd);
    fd = -1;
    return result < 0 ? int(negative_errno()) : 0;
  }

 private:
  int fd;
  bool read_only;
  bool sync;
  struct stat opened_record;
};

class local_volume final : public volume {
 public:
  local_volume(int root, bool read_only, bool sync) : root(root), read_only(read_only), sync(sync) {}
  ~local_volume() override { ::close(root); }

  opened open(const std::string& path, int flags) override {
    if (read_only && open_flags_write(flags)) return {nullptr, 0, EROFS};
    // O_NONBLOCK: a FIFO listed as a scan file must fail, not hang the worker.
    const int fd = open_beneath(root, inside_volume(path), flags | O_NONBLOCK, created_file_mode);
    if (fd < 0) return {nullptr, 0, errno};
    struct stat record{};
    // A file that this call created is empty; only a file that was there needs a look.
    const bool created = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    if (!created && ::fstat(fd, &record) < 0) {
      const int error = errno;
      ::close(fd);
      return {nullptr, 0, error};
    }
    return {std::make_unique<local_file>(fd, read_only, sync, record), std::uint64_t(record.st_size), 0};
  }

  int mkdir(const std::string& path, mode_t mode) override {
    if (read_only) return -EROFS;
    parent_and_name target = open_parent(root, path);
    if (target.parent_fd < 0) return -target.error;
    int error = ::mkdirat(target.parent_fd, target.name.c_str(), mode) < 0 ? errno : 0;
    // Copies are synced into this directory later; its own name must be durable too.
    if (!error && sync) error = sync_directory_fd(target.parent_fd);
    ::close(target.parent_fd);
    return -error;
  }

  int rename(const std::string& from, const std::string& to) override {
    if (read_only) return -EROFS;
    const split_path from_parts = split_parent(from);
    const split_path to_parts = split_parent(to);
    parent_and_name source = open_parent(root, from_parts);
    if (source.parent_fd < 0) return -(source.error == EEXIST ? EBUSY : source.error);
    // A copy is renamed within its directory: its parent is resolved once.
    const bool same_parent = !to_parts.error && to_parts.directory == from_parts.directory;
    parent_and_name target = same_parent ? parent_and_name{source.parent_fd, to_parts.name, 0}
                                         : open_parent(root, to_parts);
    int error = target.parent_fd < 0 ? (target.error == EEXIST ? EBUSY : target.error) : 0;
    if (!error && ::renameat(source.parent_fd, source.name.c_str(), target.parent_fd,
                             target.name.c_str()) < 0)
      error = errno;
    ::close(source.parent_fd);
    if (target.parent_fd >= 0 && !same_parent) ::close(target.parent_fd);
    return -error;
  }

  int sync_directory(const std::string& path) override {
    if (!sync) return 0;
    std::string relative = inside_volume(path);
    if (relative.empty()) relative = ".";
    const int fd = open_beneath(root, relative, O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return negative_errno();
    const int error = sync_directory_fd(fd);
    ::close(fd);
    return -error;
  }

  int unlink(const std::string& path) override {
    if (read_only) return -EROFS;
    parent_and_name target = open_parent(root, path);
    if (target.parent_fd < 0) return -(target.error == EEXIST ? EISDIR : target.error);
    const int result = ::unlinkat(target.parent_fd, target.name.c_str(), 0);
    const int error = errno;
    ::close(target.parent_fd);
    return result < 0 ? -error : 0;
  }

  long getxattr(const std::string& path, const std::string& name, void* value,
                std::size_t size) override {
    std::string relative = inside_volume(path);
    if (relative.empty() && !path.empty()) relative = ".";
    const int fd = open_beneath(root, relative, O_PATH, 0);
    if (fd < 0) return negative_errno();
    // An O_PATH descriptor has no xattr calls of its own; its /proc link reaches the
    // very inode that was resolved beneath the root.
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::getxattr(link.c_str(), name.c_str(), value, size);
    const int error = errno;
    ::close(fd);
    return n < 0 ? -long(error) : long(n);
  }

  // List files are read in 128-byte pieces, one a line; copy chunks go straight through,
  // since a system call costs less than copying each chunk through a block once more.
  std::size_t read_ahead_limit() const override { return 128; }
  bool gathers_writes() const override { return false; }

  // Local calls wait on the processor, not on a network: one at a time a core.
  int parallel_calls() const override { return int(std::max(1u, std::thread::hardware_concurrency())); }
  bool syncs_volume() const override { return true; }

 private:
  int root;
  bool read_only;
  bool sync;
};

bool valid_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Each window costs one sync of the whole file system and one of its directory, whatever
// its size, so windows are as large as the descriptors allow: a file in flight holds up
// to three, a run keeps four full windows in flight, and 4,096 stay for the first files
// of the workers (1,000 for a run of 1,000 collect files) and everything else. 1,024
// files under a limit of 16,384 or more, 341 under 8,192, never fewer than 16.
constexpr rlim_t reserved_descriptors = 4096, descriptors_per_window_file = 3 * 4;

rlim_t descriptor_limit() {
  rlimit limit{};
  return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 0;
}

int window_within(rlim_t descriptors) {
  const rlim_t spare = descriptors > reserved_descriptors ? descriptors - reserved_descriptors : 0;
  return int(std::clamp<rlim_t>(spare / descriptors_per_window_file, 16, settings::max_copy_window));
}

// Each file of a stub run in flight holds up to three descriptors here, and a run of
// 1,000 collect files has 1,000 in flight: more than the usual soft limit of 1,024. The
// soft limit is raised to the hard one, as servers do.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

// The kernel doubles a process's descriptor table whenever a descriptor beyond it is
// opened, and where threads share the table each doubling waits for an RCU grace period
// (5 to 20 ms on a 2-core machine). A window of 1,024 files opens 3,072 descriptors, so
// grown on demand the table doubled six times within the first window, which then took
// three times as long as the next one. Growing it at once, to what the windows may hold,
// before the workers start, costs one growth at most. Asking for the lowest free
// descriptor from the last one up grows the table without touching any descriptor in use.
void grow_descriptor_table(rlim_t descriptors) {
  if (descriptors == 0) return;
  const int any = ::open("/", O_PATH | O_CLOEXEC);
  if (any < 0) return;
  const int last = ::fcntl(any, F_DUPFD_CLOEXEC, int(descriptors - 1));
  if (last >= 0) ::close(last);
  ::close(any);
}

void allow_open_files() {
  static const bool ready = [] {
    raise_descriptor_limit();
    const rlim_t limit = descriptor_limit();
    const rlim_t windows = reserved_descriptors + descriptors_per_window_file * rlim_t(window_within(limit));
    grow_descriptor_table(std::min(limit, windows));
    return true;
  }();
  (void)ready;
}

}  // namespace

int local_copy_window() {
  allow_open_files();
  return window_within(descriptor_limit());
}

namespace {

connected open_root(const std::string& directory, bool read_only, bool sync) {
  allow_open_files();
  const int fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {nullptr, errno};
  return {std::make_unique<local_volume>(fd, read_only, sync), 0};
}

}  // namespace

connected connect_local(const settings::core_settings& s, const iopx_tree_cfg& cfg) {
  if (!cfg.volfile.empty()) return open_root(cfg.volfile, true, s.sync_copies);
  if (!valid_name(cfg.volname)) return {nullptr, EINVAL};
  return open_root(s.local_root + "/" + cfg.volname, false, s.sync_copies);
}

int local_snap_volfile(const settings::core_settings& s, const std::string& name,
                       std::string& volfile) {
  if (!valid_name(name)) return ENOENT;
  const std::string directory = s.local_snapshots + "/" + name;
  struct stat record;
  if (::stat(directory.c_str(), &record) < 0) return errno;
  if (!S_ISDIR(record.st_mode)) return ENOTDIR;
  volfile = directory;
  return 0;
}

}  // namespace tarn::backend
