#include "tests/support/cluster.h"
#include "tests/support/isolation.h"

#include <sys/xattr.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem.hpp>

namespace tarn::test {

namespace fs = boost::filesystem;

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_bytes(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  boost::system::error_code ignored;
  return fs::symlink_status(path, ignored).type() != fs::file_not_found &&
         fs::symlink_status(path, ignored).type() != fs::status_error;
}

std::optional<std::string> get_xattr(const std::string& path, const std::string& name) {
  char value[65536];
  const ssize_t n = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
  if (n < 0) return std::nullopt;
  return std::string(value, std::size_t(n));
}

void set_xattr(const std::string& path, const std::string& name, const std::string& value) {
  if (::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) < 0)
    throw std::runtime_error("cannot set " + name + " on " + path);
}

std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = char((i + seed) % 251);
  return bytes;
}

local_cluster::local_cluster() {
  char directory[] = "/var/tmp/tarn-test-XXXXXX";
  if (!::mkdtemp(directory)) throw std::runtime_error("cannot make a test directory");
  root = directory;
  for (const std::string& volume : {live(), backup(), snapshot()}) fs::create_directories(volume);
  ::setenv("TARNCORE_BACKEND", "local", 1);
  ::setenv("TARNCORE_LOCAL_ROOT", root.c_str(), 1);
  ::unsetenv("TARNCORE_LOCAL_SNAPSHOTS");
  write_config(config_naming(snap_name));
}

local_cluster::~local_cluster() {
  boost::system::error_code ignored;
  fs::remove_all(root, ignored);
}

std::string local_cluster::live(const std::string& path) const {
  return root + "/" + live_name + "/" + path;
}
std::string local_cluster::backup(const std::string& path) const {
  return root + "/" + backup_name + "/" + path;
}
std::string local_cluster::snapshot(const std::string& path) const {
  return root + "/.snaps/" + snap_name + "/" + path;
}

void local_cluster::add_file(const std::string& path, const std::string& bytes) const {
  write_bytes(live(path), bytes);
  write_bytes(snapshot(path), bytes);
}

void local_cluster::add_list(const std::string& path, const std::string& text) const {
  write_bytes(live(path), text);
}

std::string local_cluster::config_naming(const std::string& snapshot_name) {
  return R"({"livefsvolname": "live", "backupvolname": "backup", "glustersnapname": ")" +
         snapshot_name + R"(", "nodes": []})";
}

void local_cluster::write_config(const std::string& json) const {
  if (!isolated())
    throw std::logic_error("refusing to write the cluster configuration outside a private mount namespace");
  write_bytes("/run/gluster/shared_storage/livefs.json", json);
}

}  // namespace tarn::test
