// Volumes of a GlusterFS cluster through gfapi, built as the module that the core library
// loads on first use (gluster_module.cc). Only the entry below is visible outside it.
//
// One glfs_t per volume (or snapshot volfile) serves every thread and every tarn_api of
// the process. Connections are kept until the process exits and are never finished:
// glfs_fini can hold a caller for up to ten seconds, and a host must not wait for that
// each time it drops a stubber. The process's exit releases them.

#include <dirent.h>
#include <fcntl.h>
#include <glusterfs/api/glfs-handles.h>
#include <glusterfs/api/glfs.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tarncore/backend.h"
#include "tarncore/bounded_callers.h"

namespace tarn::backend {
namespace {

constexpr mode_t created_file_mode = 0600;
constexpr int gfapi_log_level = 4;  // errors only

// The one place where gfapi's errors become this library's errno values.
int gluster_error() {
  const int error = errno;
  switch (error) {
    case 0:
      return -EIO;  // gfapi failed without saying why
    case ESTALE:
      return -ENOENT;  // the entry went away between lookup and use
    default:
      return -error;
  }
}

// "/a/b", "a/b" and "//a//b" are "/a/b". A ".." that would climb above the volume's root
// fails like a missing file, as it does on local volumes.
bool volume_path(const std::string& path, std::string& absolute) {
  absolute.clear();
  int depth = 0;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    if (component == "..") {
      if (--depth < 0) return false;
    } else if (!component.empty() && component != ".") {
      ++depth;
    }
    if (!component.empty()) absolute += "/" + component;
    start = end + 1;
  }
  if (absolute.empty()) absolute = "/";
  if (path.size() > 1 && path.back() == '/') absolute += "/";
  return !path.empty();
}

// Looks `absolute` up from the volume's root. A lookup for a handle resolves the path from
// gfapi's cached entries without asking the bricks again, so an entry on it that another
// client replaced fails with ESTALE; gfapi's calls by path look such a path up afresh
// (glfs_stat here), after which the cached entries are the new ones.
glfs_object_t* look_up(glfs_t* fs, const std::string& absolute, struct stat& record) {
  glfs_object_t* object = glfs_h_lookupat(fs, nullptr, absolute.c_str(), &record, 1);
  if (!object && errno == ESTALE && glfs_stat(fs, absolute.c_str(), &record) == 0)
    object = glfs_h_lookupat(fs, nullptr, absolute.c_str(), &record, 1);
  return object;
}

// At most this many worker threads call gfapi themselves; the calls of others go through
// the helpers (see bounded_callers.h), which bounds the memory of gfapi's per-thread
// state. With 1,000 workers on two cores the peak is about 92 MiB with 64 direct callers
// (enough for one copy window's calls at once), against about 190 MiB when every worker
// calls gfapi itself.
constexpr int direct_gfapi_callers = 64;
constexpr int gfapi_helpers = 8;

bounded_callers& gfapi_callers = *new bounded_callers(direct_gfapi_callers, gfapi_helpers);

// Directories that files were lately created in, as objects: creating the next file in
// one of them is then a single CREATE, where glfs_creat would first look the new name up
// only to find it missing. gfapi itself resolves the directories of every path from its
// table of looked-up entries in the same way, without asking the bricks again.
class directory_objects {
 public:
  using object = std::shared_ptr<glfs_object_t>;

  object find(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = objects.find(path);
    return found == objects.end() ? nullptr : found->second;
  }
  void keep(const std::string& path, const object& directory) {
    std::lock_guard<std::mutex> lock(mutex);
    if (objects.size() >= capacity) objects.clear();  // a run creates in few directories
    objects[path] = directory;
  }
  void forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    objects.erase(path);
  }

 private:
  static constexpr std::size_t capacity = 256;
  std::mutex mutex;
  std::map<std::string, object> objects;
};

struct connection {
  glfs_t* fs = nullptr;
  bool read_only = false;
  bool sync = true;
  std::shared_ptr<directory_objects> directories = std::make_shared<directory_objects>();
};

// An open file. Files are opened as objects from their lookup, which already yields
// their attributes; a file descriptor is opened only when a write, a cut or a sync
// needs one. Reads without a descriptor go through the brick's anonymous descriptors
// and attributes are set on the object, so reading a file costs a lookup and its reads,
// and marking one a lookup and its attribute writes: no OPEN, FSTAT or FLUSH round trips.
// A file made with O_CREAT comes with its descriptor.
class gluster_file final : public open_file {
 public:
  gluster_file(std::shared_ptr<const connection> c, glfs_object_t* object, glfs_fd_t* fd, int flags,
               const struct stat& looked_up)
      : c(std::move(c)), object(object), fd(fd), flags(flags & ~(O_CREAT | O_EXCL | O_TRUNC)),
        looked_up(looked_up) {}
  ~gluster_file() override { close(); }

  long pread(char* buffer, std::size_t size, std::uint64_t offset) override {
    return gfapi_callers.run([&]() -> long {
      const ssize_t n = fd ? glfs_pread(fd, buffer, size, off_t(offset), 0, nullptr)
                           : glfs_h_anonymous_read(c->fs, object, buffer, size, off_t(offset));
      return n < 0 ? gluster_error() : long(n);
    });
  }

  long pwrite(const char* buffer, std::size_t size, std::uint64_t offset) override {
    return gfapi_callers.run([&]() -> long {
      if (const int error = descriptor_for_change()) return error;
      const ssize_t n = glfs_pwrite(fd, buffer, size, off_t(offset), 0, nullptr, nullptr);
      return n < 0 ? gluster_error() : long(n);
    });
  }

  // A snapshot never changes, so its files' attributes are those of their lookup.
  int fstat(struct stat* record) override {
    if (c->read_only) {
      *record = looked_up;
      return 0;
    }
    return gfapi_callers.run([&]() -> int {
      const int result = fd ? glfs_fstat(fd, record) : glfs_h_stat(c->fs, object, record);
      return result < 0 ? gluster_error() : 0;
    });
  }

  int ftruncate(std::uint64_t length) override {
    return gfapi_callers.run([&]() -> int {
      if (const int error = descriptor_for_change()) return error;
      return glfs_ftruncate(fd, off_t(length), nullptr, nullptr) < 0 ? gluster_error() : 0;
    });
  }

  // Also where write-behind reports the errors of writes it had acknowledged.
  int fsync() override {
    if (!fd || !c->sync) return 0;  // without a descriptor nothing was written through it
    return gfapi_callers.run([&]() -> int {
      return glfs_fdatasync(fd, nullptr, nullptr) < 0 ? gluster_error() : 0;
    });
  }

  int fsetxattr(const std::string& name, const void* value, std::size_t size,
                int flags) override {
    if (c->read_only) return -EROFS;
    return gfapi_callers.run([&]() -> int {
      const int result = fd ? glfs_fsetxattr(fd, name.c_str(), value, size, flags)
                            : glfs_h_setxattrs(c->fs, object, name.c_str(), value, size, flags);
      return result < 0 ? gluster_error() : 0;
    });
  }

  // GlusterFS has no call that syncs a whole volume: a batch's fsyncs go out at once instead.
  int syncfs() override { return -ENOTSUP; }

  long fgetxattr(const std::string& name, void* value, std::size_t size) override {
    return gfapi_callers.run([&]() -> long {
      const ssize_t n = fd ? glfs_fgetxattr(fd, name.c_str(), value, size)
                           : glfs_h_getxattrs(c->fs, object, name.c_str(), value, size);
      return n < 0 ? gluster_error() : long(n);
    });
  }

  int fremovexattr(const std::string& name) override {
    if (c->read_only) return -EROFS;
    return gfapi_callers.run([&]() -> int {
      const int result = fd ? glfs_fremovexattr(fd, name.c_str())
                            : glfs_h_removexattrs(c->fs, object, name.c_str());
      return result < 0 ? gluster_error() : 0;
    });
  }

  // Closing the descriptor is where write-behind reports errors it still held.
  int close() override {
    if (!fd && !object) return -EBADF;
    return gfapi_callers.run([&]() -> int {
      const int result = fd ? glfs_close(fd) : 0;
      const int error = result < 0 ? gluster_error() : 0;
      if (object) glfs_h_close(object);
      fd = nullptr;
      object = nullptr;
      return error;
    });
  }

 private:
  int descriptor_for_change() {
    if (c->read_only) return -EROFS;
    if ((flags & O_ACCMODE) == O_RDONLY) return -EBADF;
    if (!fd && !(fd = glfs_h_open(c->fs, object, flags))) return gluster_error();
    return 0;
  }

  std::shared_ptr<const connection> c;
  glfs_object_t* object;
  glfs_fd_t* fd;
  int flags;
  struct stat looked_up;
};

class gluster_volume final : public volume {
 public:
  explicit gluster_volume(std::shared_ptr<const connection> c) : c(std::move(c)) {}

  opened open(const std::string& path, int flags) override {
    if (c->read_only && open_flags_write(flags)) return {nullptr, 0, EROFS};
    std::string absolute;
    if (!volume_path(path, absolute)) return {nullptr, 0, ENOENT};
    return (flags & (O_CREAT | O_TRUNC)) ? open_descriptor(absolute, flags) : open_object(absolute, flags);
  }

  int mkdir(const std::string& path, mode_t mode) override {
    if (c->read_only) return -EROFS;
    std::string absolute;
    if (!volume_path(path, absolute)) return -ENOENT;
    return gfapi_callers.run([&]() -> int {
      return glfs_mkdir(c->fs, absolute.c_str(), mode) < 0 ? gluster_error() : 0;
    });
  }

  int unlink(const std::string& path) override {
    if (c->read_only) return -EROFS;
    std::string absolute;
    if (!volume_path(path, absolute)) return -ENOENT;
    return gfapi_callers.run([&]() -> int {
      return glfs_unlink(c->fs, absolute.c_str()) < 0 ? gluster_error() : 0;
    });
  }

  int rename(const std::string& from, const std::string& to) override {
    if (c->read_only) return -EROFS;
    std::string old_path, new_path;
    if (!volume_path(from, old_path) || !volume_path(to, new_path)) return -ENOENT;
    return gfapi_callers.run([&]() -> int {
      return glfs_rename(c->fs, old_path.c_str(), new_path.c_str()) < 0 ? gluster_error() : 0;
    });
  }

  // The bricks sync the directory that the descriptor names (their fsync of a directory).
  int sync_directory(const std::string& path) override {
    if (!c->sync) return 0;
    std::string absolute;
    if (!volume_path(path, absolute)) return -ENOENT;
    return gfapi_callers.run([&]() -> int {
      glfs_fd_t* directory = glfs_opendir(c->fs, absolute.c_str());
      if (!directory) return gluster_error();
      const int result = glfs_fsync(directory, nullptr, nullptr) < 0 ? gluster_error() : 0;
      glfs_closedir(directory);
      return result;
    });
  }

  long getxattr(const std::string& path, const std::string& name, void* value,
                std::size_t size) override {
    std::string absolute;
    if (!volume_path(path, absolute)) return -ENOENT;
    return gfapi_callers.run([&]() -> long {
      const ssize_t n = glfs_getxattr(c->fs, absolute.c_str(), name.c_str(), value, size);
      return n < 0 ? gluster_error() : long(n);
    });
  }

  std::size_t read_ahead_limit() const override { return 64 * 1024; }
  bool gathers_writes() const override { return true; }

  // A call waits mostly for its round trip: many at once overlap those waits.
  int parallel_calls() const override { return 64; }
  bool syncs_volume() const override { return false; }

 private:
  // glfs_creat without O_EXCL opens an existing file as it is; glfs_open never creates.
  opened open_descriptor(const std::string& absolute, int flags) {
    return gfapi_callers.run([&]() -> opened {
      if (flags & O_CREAT) {
        if (std::optional<opened> created = create_in_known_directory(absolute, flags)) return std::move(*created);
      }
      glfs_fd_t* fd = (flags & O_CREAT) ? glfs_creat(c->fs, absolute.c_str(), flags, created_file_mode)
                                        : glfs_open(c->fs, absolute.c_str(), flags);
      if (!fd) return {nullptr, 0, -gluster_error()};
      struct stat record;
      if (glfs_fstat(fd, &record) < 0) {
        const int error = -gluster_error();
        glfs_close(fd);
        return {nullptr, 0, error};
      }
      return {std::make_unique<gluster_file>(c, nullptr, fd, flags, record), std::uint64_t(record.st_size), 0};
    });
  }

  // Creates a new file with O_EXCL from its directory's object. Nothing when the name is
  // taken (EEXIST) or the directory cannot be had or went away: glfs_creat then resolves
  // the whole path, opens what is there and reports any error.
  std::optional<opened> create_in_known_directory(const std::string& absolute, int flags) {
    const auto slash = absolute.rfind('/');
    const std::string directory = slash == 0 ? "/" : absolute.substr(0, slash);
    const std::string name = absolute.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    directory_objects::object parent = c->directories->find(directory);
    if (!parent) {
      struct stat record;
      glfs_object_t* found = look_up(c->fs, directory, record);
      if (!found) return std::nullopt;
      parent.reset(found, glfs_h_close);
      if (!S_ISDIR(record.st_mode)) return std::nullopt;
      c->directories->keep(directory, parent);
    }
    struct stat record;
    glfs_fd_t* fd = nullptr;
    glfs_object_t* object =
        glfs_h_creat_open(c->fs, parent.get(), name.c_str(), flags | O_EXCL, created_file_mode, &record, &fd);
    if (!object) {
      if (errno != EEXIST) c->directories->forget(directory);
      return std::nullopt;
    }
    return opened{std::make_unique<gluster_file>(c, object, fd, flags, record), std::uint64_t(record.st_size), 0};
  }

  // A directory cannot be opened as a file, as with glfs_open.
  opened open_object(const std::string& absolute, int flags) {
    return gfapi_callers.run([&]() -> opened {
      struct stat record;
      glfs_object_t* object = look_up(c->fs, absolute, record);
      if (!object) return {nullptr, 0, -gluster_error()};
      if (S_ISDIR(record.st_mode)) {
        glfs_h_close(object);
        return {nullptr, 0, EISDIR};
      }
      return {std::make_unique<gluster_file>(c, object, nullptr, flags, record), std::uint64_t(record.st_size), 0};
    });
  }

  std::shared_ptr<const connection> c;
};

// The process's connections, by server and volume or by volfile. Never destroyed, so
// that no glfs_fini runs at exit either.
std::mutex connections_mutex;
auto& connections = *new std::map<std::string, std::shared_ptr<const connection>>;

// gfapi writes to the bricks' sockets in a way that raises SIGPIPE when a brick has gone
// away: with the default disposition that ends the whole host process in the middle of a
// run, where the call should fail with EPIPE and the run report its failure. A host that
// chose its own disposition keeps it.
void ignore_broken_pipes() {
  struct sigaction current{};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
      current.sa_handler == SIG_DFL)
    std::signal(SIGPIPE, SIG_IGN);
}

// The attributes that the system reads soon after it looks a file up: a live file's two
// marks, read before a stub run replaces them, and a copy's source, read before a copy may
// take its name. The client's metadata cache asks for them with every lookup and answers
// their reads from that reply, absent ones included: two round trips fewer for each live
// file that a run marks. Values are as fresh as the lookup that brought them, which the
// cache itself may answer for up to its timeout (a second by default), as it always has
// for sizes and times; this client's own changes update the cache.
const char* const attributes_read_back = "trusted.riridized.uuid,trusted.farstow.mtime,trusted.tarn.source";

std::shared_ptr<const connection> make_connection(const settings::core_settings& s,
                                                  const iopx_tree_cfg& cfg, int& error) {
  ignore_broken_pipes();
  glfs_t* fs = glfs_new(cfg.volname.c_str());
  if (!fs) {
    error = ENOMEM;
    return nullptr;
  }
  const int configured = cfg.volfile.empty()
                             ? glfs_set_volfile_server(fs, "tcp", s.gluster_server.c_str(), s.gluster_port)
                             : glfs_set_volfile(fs, cfg.volfile.c_str());
  // The volume's client-side I/O threads only move each call of ours from the calling
  // thread to one of theirs and back; the calling threads of a run are already many.
  // Without them a small file copies about a tenth faster. Only speed is at stake if
  // the option is refused.
  glfs_set_xlator_option(fs, "*-io-threads", "pass-through", "true");
  glfs_set_xlator_option(fs, "*-md-cache", "xattr-cache-list", attributes_read_back);
  // Quick-read asks for the content of every small file with its lookup and keeps it.
  // On the live and backup volumes most files looked up are only marked or checked by
  // their attributes, so the bricks would read them for nothing: without it a small
  // file stubs about a twentieth faster. A snapshot's files are read once, just after
  // their lookup, so a small cache still answers those reads without keeping, up to
  // its default 128 MiB, what was already copied.
  if (cfg.volfile.empty())
    glfs_set_xlator_option(fs, "*-quick-read", "max-file-size", "0");
  else
    glfs_set_xlator_option(fs, "*-quick-read", "cache-size", "1MB");
  if (configured < 0 || glfs_set_logging(fs, s.gluster_log.c_str(), gfapi_log_level) < 0 ||
      glfs_init(fs) < 0) {
    error = -gluster_error();
    glfs_fini(fs);
    return nullptr;
  }
  return std::make_shared<const connection>(connection{fs, !cfg.volfile.empty(), s.sync_copies});
}

bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

connected connect_gluster(const settings::core_settings& s, const iopx_tree_cfg& cfg) {
  if (cfg.volfile.empty() && !plain_name(cfg.volname)) return {nullptr, EINVAL};
  const std::string key = (cfg.volfile.empty()
                               ? "server " + s.gluster_server + ":" + std::to_string(s.gluster_port) +
                                     " volume " + cfg.volname
                               : "volfile " + cfg.volfile) +
                          (s.sync_copies ? "" : " unsynced");
  std::lock_guard<std::mutex> lock(connections_mutex);
  auto found = connections.find(key);
  if (found == connections.end()) {
    int error = 0;
    std::shared_ptr<const connection> made = make_connection(s, cfg, error);
    if (!made) return {nullptr, error};
    found = connections.emplace(key, std::move(made)).first;
  }
  return {std::make_unique<gluster_volume>(found->second), 0};
}

// glusterd keeps a snapshot's client volfile at
// <glusterd_dir>/snaps/<snapshot>/<snapshot volume id>/trusted-<snapshot volume id>.tcp-fuse.vol
int gluster_snap_volfile(const settings::core_settings& s, const std::string& name,
                         std::string& volfile) {
  if (!plain_name(name)) return ENOENT;
  const std::string directory = s.glusterd_dir + "/snaps/" + name;
  DIR* snapshot = ::opendir(directory.c_str());
  if (!snapshot) return errno == ENOTDIR ? ENOENT : errno;
  int result = ENOENT;
  while (const dirent* entry = ::readdir(snapshot)) {
    const std::string id = entry->d_name;
    if (id.size() != 32 || id.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
    const std::string candidate = directory + "/" + id + "/trusted-" + id + ".tcp-fuse.vol";
    struct stat record;
    if (::stat(candidate.c_str(), &record) == 0 && S_ISREG(record.st_mode)) {
      volfile = candidate;
      result = 0;
      break;
    }
  }
  ::closedir(snapshot);
  return result;
}

}  // namespace tarn::backend

extern "C" __attribute__((visibility("default"))) const tarn::backend::gluster_backend_entry*
tarncore_gluster_backend() {
  static const tarn::backend::gluster_backend_entry entry{tarn::backend::connect_gluster,
                                                          tarn::backend::gluster_snap_volfile};
  return &entry;
}
