#pragma once

// Volumes for tests: a live volume, its snapshot and a backup volume, reachable both
// through the core library (by name) and as directories of this machine for checking.

#include <optional>
#include <string>

namespace tarn::test {

std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);  // makes parent dirs
bool exists(const std::string& path);
std::optional<std::string> get_xattr(const std::string& path, const std::string& name);
void set_xattr(const std::string& path, const std::string& name, const std::string& value);
// Bytes 0, 1, 2, ... 250, 0, 1, ...: every chunk of a copy differs from its neighbours.
std::string pattern(std::size_t size, unsigned seed = 0);

class local_cluster {
 public:
  // Makes empty volumes "live", "backup" and the snapshot "livesnap" in a fresh directory,
  // points the core library at them and writes the cluster configuration.
  local_cluster();
  ~local_cluster();
  local_cluster(const local_cluster&) = delete;
  local_cluster& operator=(const local_cluster&) = delete;

  const std::string live_name = "live";
  const std::string backup_name = "backup";
  const std::string snap_name = "livesnap";

  // Paths on this machine of an entry inside each volume.
  std::string live(const std::string& path = "") const;
  std::string backup(const std::string& path = "") const;
  std::string snapshot(const std::string& path = "") const;

  // A scan file as it is on the live volume and in the snapshot.
  void add_file(const std::string& path, const std::string& bytes) const;
  // A list file (container or collect file) on the live volume.
  void add_list(const std::string& path, const std::string& text) const;

  // Rewrites the cluster configuration; `json` replaces the whole file.
  void write_config(const std::string& json) const;
  static std::string config_naming(const std::string& snapshot_name);

 private:
  std::string root;
};

}  // namespace tarn::test
