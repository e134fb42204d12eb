// The operations of tarn_api: argument checks, test hooks and result forms around the
// backend of each volume connection.

#include "core/tarn_api.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "core/tarn_utils.h"
#include "tarncore/backend.h"
#include "tarncore/hooks.h"
#include "tarncore/memory.h"
#include "tarncore/profile.h"
#include "tarncore/settings.h"
#include "tarncore/tarn_iopx.h"

namespace tarn {

using core_testing::operation;

namespace tarn_engine {

struct engine_state {
  settings::core_settings settings;
};

tarn_engine::tarn_engine() : state_(new engine_state{settings::read()}) {}
tarn_engine::~tarn_engine() = default;

}  // namespace tarn_engine

namespace tarn_file {

tarn_file::tarn_file(volume_handle volume, std::string path,
                     std::unique_ptr<backend::open_file> impl, std::uint64_t size)
    : file_size(size), volume_(std::move(volume)), path_(std::move(path)), impl_(std::move(impl)) {}

// A handle dropped without close() still writes out what it held back and releases its file.
tarn_file::~tarn_file() {
  if (!impl_) return;
  backend::write_out(*impl_);
  impl_->close();
}

std::unique_ptr<backend::open_file> tarn_file::release_impl() { return std::move(impl_); }

}  // namespace tarn_file

namespace {

std::error_code error_of(int errno_value) {
  return std::error_code(errno_value, std::generic_category());
}

// Turns a backend count into the -1-and-errno form.
long count_or_errno(long result) {
  if (result >= 0) return result;
  errno = int(-result);
  return -1;
}

const std::string& volume_name(const file_handle& file) { return file->volume()->name(); }

// Reads of a read-only handle up to the backend's limit (list files in 128-byte pieces,
// and on GlusterFS copies in 32 KiB chunks) are served from a block read ahead: one call
// serves many list lines, and on GlusterFS eight copy chunks (seven round trips saved).
// A read is served from the block only when the block holds all of it; otherwise the
// block is read afresh at the read's offset, so no read ever sees less than the file
// held when it was made.
constexpr std::size_t read_ahead_block = 256 * 1024;

long read_through_block(const file_handle& file, char* buffer, std::size_t size,
                        std::uint64_t offset) {
  backend::file_block& ahead = *file->impl()->ahead;
  std::lock_guard<std::mutex> lock(ahead.mutex);
  const bool covered = offset >= ahead.offset && offset + size <= ahead.offset + ahead.length;
  if (!covered) {
    const std::uint64_t expected = file->get_file_size() > offset ? file->get_file_size() - offset : 0;
    const std::size_t want = std::max<std::size_t>(size, std::min<std::uint64_t>(expected, read_ahead_block));
    if (!ahead.reserve(want)) return file->impl()->pread(buffer, size, offset);
    const long n = file->impl()->pread(ahead.block, want, offset);
    ahead.offset = offset;
    ahead.length = n > 0 ? std::size_t(n) : 0;
    if (n < 0) return n;
  }
  const std::size_t available = std::min<std::size_t>(size, ahead.offset + ahead.length - offset);
  std::memcpy(buffer, ahead.block + (offset - ahead.offset), available);
  return long(available);
}

// Writes of a handle opened for writing on a backend that gathers them (GlusterFS): a run
// of consecutive copy chunks gathers in a block of 256 KiB and goes out in one call when
// the block is full, when a write does not continue it, before any read, stat, cut or
// sync of the handle, and when the handle is closed or dropped. One call for eight chunks
// saves seven passes through gfapi's translator stack (whose own write-behind gathers the
// writes too, but only after each call has gone through): large copies take a third less
// time. A held-back write that fails is reported by the operation that wrote the block
// out, so fsync and close report every failed write, as GlusterFS's client, which holds
// writes back too, has always made them do. On local volumes a chunk's own write costs
// less than copying it into the block.
constexpr std::size_t write_behind_chunk = 32 * 1024;  // the stubber's copy chunk
constexpr std::size_t write_behind_block = 256 * 1024;

void count_written(backend::open_file& impl, std::size_t bytes) {
  impl.written = true;
  hooks::count_write(bytes);
}

// Writes the block out; 0 or -errno. The block is empty afterwards either way: a failed
// write is reported once, as write(2) reports it.
int write_out_block(backend::open_file& impl, backend::file_block& behind) {
  std::size_t done = 0;
  int result = 0;
  while (done < behind.length) {
    const long n = impl.pwrite(behind.block + done, behind.length - done, behind.offset + done);
    if (n <= 0) {
      result = n < 0 ? int(n) : -EIO;  // no progress on a regular file is a device fault
      break;
    }
    done += std::size_t(n);
  }
  if (done) count_written(impl, done);
  behind.length = 0;
  return result;
}

// Takes a write into the block when it continues what the block holds, or starts the
// block when it is a whole chunk: a shorter write with nothing held is a file's last or
// only piece and gains nothing from waiting. The count taken, nullopt when the write must
// go straight through, or -errno of writing out what the block held before.
std::optional<long> hold_back(backend::open_file& impl, const char* data, std::size_t size,
                              std::uint64_t offset) {
  backend::file_block& behind = *impl.behind;
  std::lock_guard<std::mutex> lock(behind.mutex);
  const bool continues = behind.length && offset == behind.offset + behind.length &&
                         size <= behind.limit && behind.length + size <= behind.capacity;
  if (!continues) {
    if (const int error = write_out_block(impl, behind)) return error;
    if (size != behind.limit) return std::nullopt;
    if (!behind.reserve(write_behind_block)) return std::nullopt;
    behind.offset = offset;
  }
  std::memcpy(behind.block + behind.length, data, size);
  behind.length += size;
  return long(size);
}

}  // namespace

int backend::write_out(open_file& impl, bool release) {
  if (release && impl.ahead) {
    std::lock_guard<std::mutex> lock(impl.ahead->mutex);
    impl.ahead->release_block();
  }
  if (!impl.behind) return 0;
  std::lock_guard<std::mutex> lock(impl.behind->mutex);
  const int result = write_out_block(impl, *impl.behind);
  if (release) impl.behind->release_block();
  return result;
}

bool backend::file_block::reserve(std::size_t size) {
  if (capacity >= size) return true;
  release_block();
  block = tarn_mem::take_block(size);
  if (block) capacity = size;
  return block != nullptr;
}

void backend::file_block::release_block() {
  if (block) tarn_mem::give_back_block(block, capacity);
  block = nullptr;
  capacity = length = 0;
}

volume_handle tarn_api::init(iopx_tree_cfg cfg) {
  const settings::core_settings& s = engine.state().settings;
  backend::connected c = s.backend == settings::backend_kind::glusterfs
                             ? backend::connect_gluster(s, cfg)
                             : backend::connect_local(s, cfg);
  if (!c.connection) {
    debug.error("tarn_api::init()", "Failed to connect to volume %s%s%s: %s", cfg.volname.c_str(),
                cfg.volfile.empty() ? "" : " with volfile ", cfg.volfile.c_str(),
                std::strerror(c.error));
    return {};
  }
  return volume_handle(new tarn_iopx(cfg.volname, std::move(c.connection)));
}

file_handle tarn_api::open(const volume_handle& volume, const std::string& path, int flags,
                           const completion_handle&) {
  const profile::timed_call timed(operation::open);
  if (!volume) {
    errno = ENOTCONN;
    return {};
  }
  if (auto hit = hooks::check(operation::open, volume->name(), path)) {
    errno = hit->error;
    return {};
  }
  backend::opened o = volume->storage().open(path, flags);
  if (!o.file) {
    errno = o.error;
    return {};
  }
  // Appending writes land where the file ends, whatever their offset: they go straight
  // through, as do writes that the descriptor refuses.
  const bool writes_at_offsets = (flags & O_ACCMODE) != O_RDONLY && !(flags & O_APPEND);
  const std::size_t ahead = volume->storage().read_ahead_limit();
  if (ahead && !backend::open_flags_write(flags)) o.file->ahead = std::make_unique<backend::file_block>(ahead);
  if (writes_at_offsets && volume->storage().gathers_writes()) o.file->behind = std::make_unique<backend::file_block>(write_behind_chunk);
  return file_handle(new tarn_file::tarn_file(volume, path, std::move(o.file), o.size));
}

// Checks the arguments of a read or write and applies a test fault to it: the result
// when the transfer must not happen, and `size` cut short when the fault says so.
static std::optional<long> check_transfer(operation op, const file_handle& file,
                                   const tarn_mem::buffer_handle& buffer, unsigned long& size,
                                   unsigned long offset) {
  if (!file || !file->impl() || !buffer) return count_or_errno(-EBADF);
  if (size > buffer->get_size()) return count_or_errno(-EINVAL);
  if (auto hit = hooks::check(op, volume_name(file), file->path(), long(offset))) {
    if (hit->result < 0) return count_or_errno(-hit->error);
    if (std::uint64_t(hit->result) < size) size = hit->result;
  }
  return std::nullopt;
}

long tarn_api::read(const file_handle& file, const tarn_mem::buffer_handle& buffer,
                    unsigned long size, unsigned long offset, int, const completion_handle&) {
  const profile::timed_call timed(operation::read);
  if (auto refused = check_transfer(operation::read, file, buffer, size, offset)) return *refused;
  if (file->impl()->ahead && size <= file->impl()->ahead->limit)
    return count_or_errno(read_through_block(file, buffer->get_base(), size, offset));
  if (const int error = backend::write_out(*file->impl())) return count_or_errno(error);
  return count_or_errno(file->impl()->pread(buffer->get_base(), size, offset));
}

long tarn_api::write(const file_handle& file, const tarn_mem::buffer_handle& buffer,
                     unsigned long size, unsigned long offset, int, const completion_handle&) {
  const profile::timed_call timed(operation::write);
  if (auto refused = check_transfer(operation::write, file, buffer, size, offset)) return *refused;
  backend::open_file& impl = *file->impl();
  if (impl.behind)
    if (const std::optional<long> held = hold_back(impl, buffer->get_base(), size, offset))
      return count_or_errno(*held);
  const long written = impl.pwrite(buffer->get_base(), size, offset);
  if (written > 0) count_written(impl, std::size_t(written));
  return count_or_errno(written);
}

long tarn_api::copy_range(const file_handle& from, unsigned long offset, const file_handle& to,
                          unsigned long to_offset, unsigned long size) {
  if (!from || !from->impl() || !to || !to->impl()) return count_or_errno(-EBADF);
  if (hooks::faults_set()) return count_or_errno(-ENOTSUP);
  profile::timed_call timed(operation::write);
  backend::open_file& target = *to->impl();
  if (const int error = backend::write_out(target)) return count_or_errno(error);
  const long copied = from->impl()->copy_to(target, offset, to_offset, size);
  if (copied == -ENOTSUP) timed.drop();  // the reads and writes that follow are counted
  if (copied > 0) count_written(target, std::size_t(copied));
  return count_or_errno(copied);
}

std::error_code tarn_api::close(const file_handle& file, const completion_handle&) {
  const profile::timed_call timed(operation::close);
  if (!file || !file->impl()) return error_of(EBADF);
  std::unique_ptr<backend::open_file> impl = file->release_impl();
  const int held = backend::write_out(*impl);
  if (impl->written) hooks::count_written_file();
  // The file is closed all the same, as a failed close(2) does.
  if (auto hit = hooks::check(operation::close, volume_name(file), file->path()))
    return error_of(hit->error);
  const int result = impl->close();
  if (held < 0) return error_of(-held);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::fstat(const file_handle& file, struct stat* record,
                                const completion_handle&) {
  const profile::timed_call timed(operation::fstat);
  if (!file || !file->impl() || !record) return error_of(EBADF);
  if (auto hit = hooks::check(operation::fstat, volume_name(file), file->path()))
    return error_of(hit->error);
  if (const int error = backend::write_out(*file->impl())) return error_of(-error);
  const int result = file->impl()->fstat(record);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::ftruncate(const file_handle& file, std::uint64_t length,
                                    const completion_handle&) {
  const profile::timed_call timed(operation::ftruncate);
  if (!file || !file->impl()) return error_of(EBADF);
  if (auto hit = hooks::check(operation::ftruncate, volume_name(file), file->path()))
    return error_of(hit->error);
  if (const int error = backend::write_out(*file->impl())) return error_of(-error);
  const int result = file->impl()->ftruncate(length);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::fsync(const file_handle& file, const completion_handle&) {
  const profile::timed_call timed(operation::fsync);
  if (!file || !file->impl()) return error_of(EBADF);
  if (auto hit = hooks::check(operation::fsync, volume_name(file), file->path()))
    return error_of(hit->error);
  if (const int error = backend::write_out(*file->impl())) return error_of(-error);
  const int result = file->impl()->fsync();
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::flush(const file_handle& file, const completion_handle&) {
  if (!file || !file->impl()) return error_of(EBADF);
  const int result = backend::write_out(*file->impl(), true);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::syncfs(const file_handle& file, const completion_handle&) {
  const profile::timed_call timed(operation::syncfs);
  if (!file || !file->impl()) return error_of(EBADF);
  if (auto hit = hooks::check(operation::syncfs, volume_name(file), file->path())) return error_of(hit->error);
  const int result = file->impl()->syncfs();
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::mkdir(const volume_handle& volume, const std::string& path,
                                mode_t mode, const completion_handle&) {
  const profile::timed_call timed(operation::mkdir);
  if (!volume) return error_of(ENOTCONN);
  if (auto hit = hooks::check(operation::mkdir, volume->name(), path))
    return error_of(hit->error);
  const int result = volume->storage().mkdir(path, mode);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::unlink(const volume_handle& volume, const std::string& path,
                                 const completion_handle&) {
  const profile::timed_call timed(operation::unlink);
  if (!volume) return error_of(ENOTCONN);
  if (auto hit = hooks::check(operation::unlink, volume->name(), path))
    return error_of(hit->error);
  const int result = volume->storage().unlink(path);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::rename(const volume_handle& volume, const std::string& from,
                                 const std::string& to, const completion_handle&) {
  const profile::timed_call timed(operation::rename);
  if (!volume) return error_of(ENOTCONN);
  if (auto hit = hooks::check(operation::rename, volume->name(), to)) return error_of(hit->error);
  const int result = volume->storage().rename(from, to);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::sync_directory(const volume_handle& volume, const std::string& path,
                                         const completion_handle&) {
  const profile::timed_call timed(operation::sync_directory);
  if (!volume) return error_of(ENOTCONN);
  if (auto hit = hooks::check(operation::sync_directory, volume->name(), path))
    return error_of(hit->error);
  const int result = volume->storage().sync_directory(path);
  return result < 0 ? error_of(-result) : success;
}

// Unless set: on local volumes each window costs a sync of the whole file system and one
// of the directory, whatever its size, so windows are large; on GlusterFS 64 files keep
// every direct gfapi caller busy, and more would only hold descriptors. A window set
// larger than the descriptors allow on local volumes would fail its files' opens.
int tarn_api::copy_window() const {
  const settings::core_settings& s = engine.state().settings;
  if (s.backend == settings::backend_kind::glusterfs) return s.copy_window ? s.copy_window : 64;
  const int fitting = backend::local_copy_window();
  return s.copy_window ? std::min(s.copy_window, fitting) : fitting;
}

int tarn_api::parallel_calls(const volume_handle& volume) const {
  return volume ? volume->storage().parallel_calls() : 1;
}

bool tarn_api::syncs_volume(const volume_handle& volume) const {
  return volume && volume->storage().syncs_volume();
}

long tarn_api::getxattr(const volume_handle& volume, const std::string& path,
                        const std::string& name, iovec* value, const completion_handle&) {
  const profile::timed_call timed(operation::getxattr);
  if (!volume) return count_or_errno(-ENOTCONN);
  if (!value) return count_or_errno(-EINVAL);
  if (auto hit = hooks::check(operation::getxattr, volume->name(), path, -1, name))
    return count_or_errno(-hit->error);
  return count_or_errno(volume->storage().getxattr(path, name, value->iov_base, value->iov_len));
}

long tarn_api::fgetxattr(const file_handle& file, const std::string& name, iovec* value,
                         const completion_handle&) {
  const profile::timed_call timed(operation::getxattr);
  if (!file || !file->impl()) return count_or_errno(-EBADF);
  if (!value) return count_or_errno(-EINVAL);
  if (auto hit = hooks::check(operation::getxattr, volume_name(file), file->path(), -1, name))
    return count_or_errno(-hit->error);
  return count_or_errno(file->impl()->fgetxattr(name, value->iov_base, value->iov_len));
}

std::error_code tarn_api::fsetxattr(const file_handle& file, const std::string& name,
                                    iovec* value, int flags, const completion_handle&) {
  const profile::timed_call timed(operation::fsetxattr);
  if (!file || !file->impl()) return error_of(EBADF);
  if (!value) return error_of(EINVAL);
  if (auto hit = hooks::check(operation::fsetxattr, volume_name(file), file->path(), -1, name))
    return error_of(hit->error);
  const int result = file->impl()->fsetxattr(name, value->iov_base, value->iov_len, flags);
  return result < 0 ? error_of(-result) : success;
}

std::error_code tarn_api::fremovexattr(const file_handle& file, const std::string& name,
                                       const completion_handle&) {
  const profile::timed_call timed(operation::fremovexattr);
  if (!file || !file->impl()) return error_of(EBADF);
  if (auto hit = hooks::check(operation::fremovexattr, volume_name(file), file->path(), -1, name))
    return error_of(hit->error);
  const int result = file->impl()->fremovexattr(name);
  return result < 0 ? error_of(-result) : success;
}

int tarn_utils::get_snap_volfile(std::string name, std::string& volfile) {
  if (auto hit = hooks::check(operation::get_snap_volfile, name, ""))
    return hit->error ? hit->error : ENOENT;
  const settings::core_settings s = settings::read();
  return s.backend == settings::backend_kind::glusterfs
             ? backend::gluster_snap_volfile(s, name, volfile)
             : backend::local_snap_volfile(s, name, volfile);
}

namespace backend {

bool open_flags_write(int flags) {
  return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
}

std::string inside_volume(const std::string& path) {
  const auto first = path.find_first_not_of('/');
  return first == std::string::npos ? std::string() : path.substr(first);
}

}  // namespace backend

}  // namespace tarn
