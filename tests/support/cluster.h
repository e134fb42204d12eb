#pragma once

// Volumes for tests: a live volume "live", its snapshot "livesnap" and a backup volume
// "backup", reached by name through the core library and as directories of this machine
// for checking: local directories, or FUSE mounts of a GlusterFS test cluster.

#include <sys/resource.h>

#include <memory>
#include <optional>
#include <string>

namespace tarn::test {

std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);  // makes parent dirs
bool exists(const std::string& path);
std::optional<std::string> get_xattr(const std::string& path, const std::string& name);
void set_xattr(const std::string& path, const std::string& name, const std::string& value);
// Bytes that differ from one chunk of a copy to the next.
std::string pattern(std::size_t size, unsigned seed = 0);

// While it lives, this process's writes to regular files past `bytes` fail with EFBIG
// (RLIMIT_FSIZE, SIGXFSZ ignored): a real write error of a local volume, late or at once.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes);
  ~file_size_limit();
  file_size_limit(const file_size_limit&) = delete;
  file_size_limit& operator=(const file_size_limit&) = delete;

 private:
  rlimit saved{};
  void (*saved_handler)(int) = nullptr;
};

enum class backend { local, glusterfs };

class test_cluster {
 public:
  // Empty volumes on `kind`, the core library pointed at them, the cluster configuration
  // written. Throws when the backend is not available (see gluster_unavailable()).
  explicit test_cluster(backend kind);
  ~test_cluster();
  test_cluster(const test_cluster&) = delete;
  test_cluster& operator=(const test_cluster&) = delete;

  const backend kind;
  const std::string live_name = "live";
  const std::string backup_name = "backup";
  const std::string snap_name = "livesnap";

  // Paths on this machine of an entry inside each volume.
  std::string live(const std::string& path = "") const { return live_dir + "/" + path; }
  std::string backup(const std::string& path = "") const { return backup_dir + "/" + path; }
  std::string snapshot(const std::string& path = "") const { return snapshot_dir + "/" + path; }
  // On GlusterFS: the path of an entry of the backup volume on the first of its bricks
  // that holds it (the first brick when none does).
  std::string backup_brick(const std::string& path) const;
  // On GlusterFS: the volumes are distributed-replicated (the cluster's shape).
  bool replicated = false;

  // A scan file as it is on the live volume and in the snapshot.
  void add_file(const std::string& path, const std::string& bytes) const;
  // A list file (container or collect file) on the live volume.
  void add_list(const std::string& path, const std::string& text) const;

  // Rewrites the cluster configuration; `json` replaces the whole file.
  void write_config(const std::string& json) const;
  static std::string config_naming(const std::string& snapshot_name);

 private:
  void set_up_local();
  void set_up_gluster();

  std::string root;  // local: the directory that holds the volumes
  std::string live_dir, backup_dir, snapshot_dir, bricks_dir;
};

// Why the GlusterFS test cluster cannot be used, or nothing when it can. The test command
// starts one and names it in TARN_TEST_GLUSTER (its state directory).
std::optional<std::string> gluster_unavailable();
// The GlusterFS test cluster's state directory (TARN_TEST_GLUSTER) and whether its
// volumes are distributed-replicated (the shape that the cluster script recorded).
std::string gluster_state();
bool gluster_replicated();

}  // namespace tarn::test
