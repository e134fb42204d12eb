#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <string>
#include <system_error>

#include <boost/shared_ptr.hpp>

#include "core/iopx_req.h"
#include "core/tarn_debug.h"
#include "core/tarn_file.h"
#include "core/tarn_mem.h"
#include "core/tarn_types.h"
#include "core/tarn_visibility.h"

namespace tarn {

namespace tarn_engine {

struct engine_state;

// Chooses and configures the backend of the connections that a tarn_api makes.
class TARNCORE_API tarn_engine {
 public:
  tarn_engine();
  ~tarn_engine();
  tarn_engine(const tarn_engine&) = delete;
  tarn_engine& operator=(const tarn_engine&) = delete;

  const engine_state& state() const { return *state_; }

 private:
  boost::shared_ptr<const engine_state> state_;
};

}  // namespace tarn_engine

// A connection object of the core library. Every operation is synchronous (the completion
// record is always empty), and all operations are safe under concurrent calls from many
// threads on one tarn_api and one volume handle. Paths name entries inside the volume:
// "/a/b" and "a/b" are the same file, and no path reaches outside the volume.
//
// Results: file handles are empty on failure; read, write and getxattr give -1 and set
// errno; the other operations give an errno value in std::generic_category().
class TARNCORE_API tarn_api {
 public:
  tarn_api() = default;
  tarn_api(const tarn_api&) = delete;
  tarn_api& operator=(const tarn_api&) = delete;

  // Connects to the volume `cfg.volname`, or to the snapshot whose volfile is `cfg.volfile`.
  // An empty handle when the connection cannot be made (the reason is logged).
  volume_handle init(iopx_tree_cfg cfg);

  // Flags are Linux open flags; O_CREAT opens an existing file without changing its data.
  file_handle open(const volume_handle& volume, const std::string& path, int flags,
                   const completion_handle& completion = {});
  long read(const file_handle& file, const tarn_mem::buffer_handle& buffer, unsigned long size,
            unsigned long offset, int flags, const completion_handle& completion = {});
  long write(const file_handle& file, const tarn_mem::buffer_handle& buffer, unsigned long size,
             unsigned long offset, int flags, const completion_handle& completion = {});
  // Copies up to `size` bytes of `from` at `offset` into `to` at `to_offset` inside the
  // storage, without passing them through the caller's memory: the count copied (0 at the
  // end of `from`), or -1 with errno. ENOTSUP where the two files' storage cannot copy
  // between them (GlusterFS, or local volumes on different file systems): then copy with
  // read and write.
  long copy_range(const file_handle& from, unsigned long offset, const file_handle& to,
                  unsigned long to_offset, unsigned long size);
  std::error_code close(const file_handle& file, const completion_handle& completion = {});
  std::error_code fstat(const file_handle& file, struct stat* record,
                        const completion_handle& completion = {});
  // Cuts the open file to `length` bytes.
  std::error_code ftruncate(const file_handle& file, std::uint64_t length,
                            const completion_handle& completion = {});
  // Puts the file's data on stable storage; reports write errors held back until now.
  std::error_code fsync(const file_handle& file, const completion_handle& completion = {});
  // Writes out what the handle holds back and gives back the memory it holds for that
  // and for reading ahead: for a file that is done with for a while. Reports write errors.
  std::error_code flush(const file_handle& file, const completion_handle& completion = {});
  // Puts everything written to the file's volume on stable storage in one write-out, as
  // syncfs(2) does: one sync for a batch of files. It reports the errors of every write-out
  // since `file` was opened, whichever file's (then sync each file to learn which one);
  // ENOTSUP where the storage has no such call (GlusterFS: sync the files instead).
  std::error_code syncfs(const file_handle& file, const completion_handle& completion = {});
  std::error_code mkdir(const volume_handle& volume, const std::string& path, mode_t mode,
                        const completion_handle& completion = {});
  std::error_code unlink(const volume_handle& volume, const std::string& path,
                         const completion_handle& completion = {});
  // Gives the file `from` the name `to`, replacing a file of that name in one step, as
  // rename(2) does. The new name is durable only after sync_directory of its directory.
  std::error_code rename(const volume_handle& volume, const std::string& from,
                         const std::string& to, const completion_handle& completion = {});
  // Puts the names made, renamed or removed in the directory `path` on stable storage, so
  // that one call makes a batch of renames durable. Does nothing with sync_copies off.
  std::error_code sync_directory(const volume_handle& volume, const std::string& path,
                                 const completion_handle& completion = {});
  // How many files a caller may copy as one batch on this connection (the setting
  // copy_window): copied at once, synced together, then committed in order.
  int copy_window() const;
  // How many calls on the volume one caller gains by making at once: on GlusterFS many,
  // each mostly waiting for its round trip; on local volumes one a processor core.
  int parallel_calls(const volume_handle& volume) const;
  // Whether syncfs on the volume makes a batch of its files durable with one call: on local
  // volumes it does; GlusterFS has no such call (syncfs answers ENOTSUP).
  bool syncs_volume(const volume_handle& volume) const;
  // With an iovec of {nullptr, 0}: the value's length only. Otherwise the value is copied
  // into the iovec's buffer; ERANGE when it does not fit.
  long getxattr(const volume_handle& volume, const std::string& path, const std::string& name,
                iovec* value, const completion_handle& completion = {});
  // getxattr of an open file.
  long fgetxattr(const file_handle& file, const std::string& name, iovec* value,
                 const completion_handle& completion = {});
  std::error_code fsetxattr(const file_handle& file, const std::string& name, iovec* value,
                            int flags, const completion_handle& completion = {});
  // ENODATA when the file has no such attribute.
  std::error_code fremovexattr(const file_handle& file, const std::string& name,
                               const completion_handle& completion = {});

  // A page-aligned buffer of `size` bytes; an empty handle when no memory can be had.
  tarn_mem::buffer_handle alloc_io_buffer(unsigned long size) {
    boost::shared_ptr<tarn_mem::malloc_intfx> allocator = tarn_mem::get_malloc_intfx();
    if (!allocator) return {};
    return allocator->posix_memalign(allocator->get_page_size(), size);
  }

 private:
  tarn_mem::mempool<iopx_req::iopx_req> request_pool;
  tarn_mem::mempool<tarn_file::tarn_file> file_pool;
  tarn_engine::tarn_engine engine;
  boost::shared_ptr<tarn_thpool::tarn_thpool> thread_pool;
  tarn_debug debug;
};

}  // namespace tarn
