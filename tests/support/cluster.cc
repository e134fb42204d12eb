#include "tests/support/cluster.h"
#include "tests/support/isolation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
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

file_size_limit::file_size_limit(rlim_t bytes) {
  getrlimit(RLIMIT_FSIZE, &saved);
  saved_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = bytes;
  if (setrlimit(RLIMIT_FSIZE, &limited) != 0) throw std::runtime_error("cannot limit file sizes");
}

file_size_limit::~file_size_limit() {
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, saved_handler);
}

test_cluster::test_cluster(backend k) : kind(k) {
  if (kind == backend::local) set_up_local();
  else set_up_gluster();
  write_config(config_naming(snap_name));
}

void test_cluster::set_up_local() {
  char directory[] = "/var/tmp/tarn-test-XXXXXX";
  if (!::mkdtemp(directory)) throw std::runtime_error("cannot make a test directory");
  root = directory;
  live_dir = root + "/" + live_name;
  backup_dir = root + "/" + backup_name;
  snapshot_dir = root + "/.snaps/" + snap_name;
  for (const std::string& volume : {live_dir, backup_dir, snapshot_dir}) fs::create_directories(volume);
  ::setenv("TARNCORE_BACKEND", "local", 1);
  ::setenv("TARNCORE_LOCAL_ROOT", root.c_str(), 1);
  ::unsetenv("TARNCORE_LOCAL_SNAPSHOTS");
}

std::optional<std::string> gluster_unavailable() {
  const char* state = std::getenv("TARN_TEST_GLUSTER");
  if (!state || !*state) return "no GlusterFS test cluster: scripts/test.sh starts one (as root)";
  if (!exists(std::string(state) + "/mnt/live/.")) return std::string("no GlusterFS mounts under ") + state;
  return std::nullopt;
}

std::string gluster_state() {
  const char* state = std::getenv("TARN_TEST_GLUSTER");
  return state ? state : "";
}

bool gluster_replicated() {
  const std::string shape = gluster_state() + "/shape";
  return exists(shape) && read_bytes(shape).rfind("replicated", 0) == 0;
}

// Empties a volume through its mount. Right after a brick of a replicated pair came back
// and healed, the mount's listing of a directory can still miss entries that one brick
// holds, and the last rmdir fails with "Directory not empty": the listing is taken again
// for a while before that counts as a failure.
static void empty_volume(const std::string& mount) {
  for (int attempt = 1;; ++attempt) {
    try {
      for (fs::directory_iterator entry(mount), end; entry != end; ++entry) fs::remove_all(entry->path());
      return;
    } catch (const fs::filesystem_error& failure) {
      if (failure.code() != boost::system::errc::directory_not_empty || attempt == 40) throw;
      ::usleep(250 * 1000);
    }
  }
}

// The volumes are shared by every test on GlusterFS: each test starts by emptying them.
void test_cluster::set_up_gluster() {
  if (auto reason = gluster_unavailable()) throw std::runtime_error(*reason);
  const std::string state = gluster_state();
  live_dir = state + "/mnt/" + live_name;
  backup_dir = state + "/mnt/" + backup_name;
  snapshot_dir = state + "/mnt/" + snap_name;
  bricks_dir = state + "/bricks/";
  replicated = gluster_replicated();
  for (const std::string& volume : {live_dir, backup_dir, snapshot_dir}) empty_volume(volume);
  char host[256] = "localhost";
  ::gethostname(host, sizeof host);
  ::setenv("TARNCORE_BACKEND", "glusterfs", 1);
  ::setenv("TARNCORE_GLUSTER_SERVER", host, 1);
  ::setenv("TARNCORE_GLUSTERD_DIR", (state + "/glusterd").c_str(), 1);
}

std::string test_cluster::backup_brick(const std::string& path) const {
  if (!replicated) return bricks_dir + backup_name + "/" + path;
  for (int i = 0; i < 4; ++i) {
    const std::string on_brick = bricks_dir + backup_name + "-" + std::to_string(i) + "/" + path;
    if (exists(on_brick)) return on_brick;
  }
  return bricks_dir + backup_name + "-0/" + path;
}

test_cluster::~test_cluster() {
  if (root.empty()) return;
  boost::system::error_code ignored;
  fs::remove_all(root, ignored);
}

void test_cluster::add_file(const std::string& path, const std::string& bytes) const {
  write_bytes(live(path), bytes);
  write_bytes(snapshot(path), bytes);
  // The live file as the snapshot has it, to the nanosecond: the two writes can fall in
  // different seconds, and a live file whose mtime differs counts as changed since stubbed.
  struct stat record{};
  if (::stat(snapshot(path).c_str(), &record) == 0) {
    const struct timespec times[2] = {record.st_atim, record.st_mtim};
    ::utimensat(AT_FDCWD, live(path).c_str(), times, 0);
  }
}

void test_cluster::add_list(const std::string& path, const std::string& text) const {
  write_bytes(live(path), text);
}

std::string test_cluster::config_naming(const std::string& snapshot_name) {
  return R"({"livefsvolname": "live", "backupvolname": "backup", "glustersnapname": ")" +
         snapshot_name + R"(", "nodes": []})";
}

void test_cluster::write_config(const std::string& json) const {
  if (!isolated())
    throw std::logic_error("refusing to write the cluster configuration outside a private mount namespace");
  write_bytes("/run/gluster/shared_storage/livefs.json", json);
}

}  // namespace tarn::test
