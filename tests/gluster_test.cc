// What only a real GlusterFS cluster shows: attributes through gfapi and on the brick,
// the snapshot's read-only translator, a brick that dies in the middle of a stub run, and
// a host that does not wait for connections to finish.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <fstream>

#include "core/tarn_api.h"
#include "core/tarn_utils.h"
#include "tests/support/stubber_fixture.h"

namespace tarn::test {
namespace {

class gluster : public stubber_test {
 protected:
  backend kind() const override { return backend::glusterfs; }
};

TEST_F(gluster, marks_read_back_through_gfapi_and_lie_on_the_brick) {
  cluster->add_file("/d/a", pattern(50000));
  cluster->add_list("lists/p-1", "/d/a\n");
  cluster->add_list("lists/c", "lists/p-1\n");
  auto s = make_stubber();
  ASSERT_EQ(s->init("lists/c", stubber::stubber::stub), 0);

  char value[256];
  iovec vector{value, sizeof value};
  const long length = s->livefs_api->getxattr(s->livefs_volume, "/d/a", "trusted.riridized.uuid", &vector);
  ASSERT_EQ(length, 12);
  EXPECT_EQ(std::string(value, 12), "p/00000000/a");
  EXPECT_EQ(read_bytes(cluster->backup_brick("p/00000000/a")), pattern(50000));
  EXPECT_EQ(get_xattr(cluster->backup_brick("p/00000000/a"), "trusted.tarn.source"), "/d/a");
}

TEST_F(gluster, the_snapshot_connection_is_read_only) {
  cluster->add_file("/f", "data");
  std::string volfile;
  ASSERT_EQ(tarn_utils::get_snap_volfile("livesnap", volfile), 0);
  EXPECT_NE(volfile.find("/snaps/livesnap/"), std::string::npos);
  EXPECT_NE(tarn_utils::get_snap_volfile("othersnap", volfile), 0);
  tarn_api api;
  const volume_handle snap = api.init({"glusterfs", "livesnap", "", volfile});
  ASSERT_TRUE(snap);
  EXPECT_FALSE(api.open(snap, "/f", O_RDWR));
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(api.mkdir(snap, "/d", 0777), std::error_code(EROFS, std::generic_category()));
  const file_handle file = api.open(snap, "/f", O_RDONLY);
  ASSERT_TRUE(file);
  const auto buffer = api.alloc_io_buffer(16);
  EXPECT_EQ(api.read(file, buffer, 16, 0, 0), 4);
  EXPECT_FALSE(api.open(snap, "/../f", O_RDONLY)) << "no climbing above the root";
  EXPECT_EQ(api.mkdir(snap, "/d", 0777), std::error_code(EROFS, std::generic_category()));
}

TEST_F(gluster, errors_have_the_local_backends_values) {
  tarn_api api;
  const volume_handle live = api.init({"glusterfs", "live", "", ""});
  ASSERT_TRUE(live);
  write_bytes(cluster->live("f"), "x");
  EXPECT_EQ(api.mkdir(live, "d", 0777), success);
  EXPECT_EQ(api.mkdir(live, "d", 0777), std::error_code(EEXIST, std::generic_category()));
  EXPECT_EQ(api.unlink(live, "missing"), std::error_code(ENOENT, std::generic_category()));
  errno = 0;
  EXPECT_FALSE(api.open(live, "missing", O_RDONLY));
  EXPECT_EQ(errno, ENOENT);
  iovec probe{nullptr, 0};
  EXPECT_EQ(api.getxattr(live, "f", "user.none", &probe), -1);
  EXPECT_EQ(errno, ENODATA);
  set_xattr(cluster->live("f"), "user.v", "value");
  char small[2];
  iovec too_small{small, sizeof small};
  EXPECT_EQ(api.getxattr(live, "f", "user.v", &too_small), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_FALSE(api.init({"glusterfs", "nosuchvolume", "", ""}));
}

std::string brick_pid(const std::string& volume) {
  const std::string command = "cat /var/run/gluster/vols/" + volume + "/*.pid 2>/dev/null";
  std::string pid;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[32] = "";
    if (std::fgets(line, sizeof line, pipe)) pid = line;
    ::pclose(pipe);
  }
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  return pid;
}

bool brick_online(const std::string& volume) {
  const std::string command = "gluster --mode=script volume status " + volume +
                              " --xml 2>/dev/null | grep -q '<status>1</status>'";
  return ::system(command.c_str()) == 0;
}

// Starts the volume's brick again once glusterd has seen it die, and waits until the
// brick and this machine's mount of the volume answer.
bool restart_brick(const std::string& volume, const std::string& mount) {
  for (int i = 0; i < 300 && brick_online(volume); ++i) ::usleep(100 * 1000);
  const std::string start = "gluster --mode=script volume start " + volume + " force > /dev/null 2>&1";
  for (int i = 0; i < 300 && !brick_online(volume); ++i) {
    if (i % 20 == 0) ::system(start.c_str());
    ::usleep(100 * 1000);
  }
  for (int i = 0; i < 300; ++i) {
    if (DIR* directory = ::opendir(mount.c_str())) {
      const bool answers = ::readdir(directory) != nullptr;
      ::closedir(directory);
      if (answers) return true;
    }
    ::usleep(100 * 1000);
  }
  return false;
}

// Runs the host program on `container` and returns its exit status.
int run_host(const std::string& container) {
  const std::string command = std::string(TARN_HOST_PROGRAM) + " -q stub live backup " + container +
                              " 2>/dev/null";
  return WEXITSTATUS(::system(command.c_str()));
}

TEST_F(gluster, a_stub_run_survives_its_backup_brick_dying) {
  std::string container;
  std::string all_files;
  for (int list = 0; list < 4; ++list) {
    std::string collect;
    for (int i = 0; i < 30; ++i) {
      const std::string name = "/d" + std::to_string(list) + "/f" + std::to_string(i);
      cluster->add_file(name, pattern(256 * 1024, unsigned(list * 100 + i)));
      collect += name + "\n";
    }
    cluster->add_list("lists/p" + std::to_string(list) + "-1", collect);
    container += "lists/p" + std::to_string(list) + "-1\n";
    all_files += collect;
  }
  cluster->add_list("lists/c", container);
  const std::string pid = brick_pid("backup");
  ASSERT_FALSE(pid.empty());

  const pid_t child = ::fork();
  if (child == 0) ::_exit(run_host("lists/c"));
  // The brick dies once the run has marked its first file: a run of this size can end
  // within a fixed delay.
  for (int waited = 0; waited < 30000 && !get_xattr(cluster->live("/d0/f0"), "trusted.farstow.mtime"); waited += 2)
    ::usleep(2000);
  ::kill(std::stoi(pid), SIGKILL);
  int status = 0;
  const auto started = std::chrono::steady_clock::now();
  ::waitpid(child, &status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60)) << "no hang";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "the run reports failure";

  ASSERT_TRUE(restart_brick("backup", cluster->backup()));
  // Every mark names a complete copy of the snapshot's version.
  std::istringstream files(all_files);
  for (std::string name; std::getline(files, name);) {
    const auto target = get_xattr(cluster->live(name), "trusted.riridized.uuid");
    if (!get_xattr(cluster->live(name), "trusted.farstow.mtime")) continue;
    ASSERT_TRUE(target) << name;
    EXPECT_EQ(read_bytes(cluster->backup(*target)), read_bytes(cluster->snapshot(name))) << name;
  }

  cluster->add_list("lists/again", container);
  for (int list = 0; list < 4; ++list) {
    std::string collect;
    for (int i = 0; i < 30; ++i) collect += "/d" + std::to_string(list) + "/f" + std::to_string(i) + "\n";
    cluster->add_list("lists/p" + std::to_string(list) + "-1", collect);
  }
  EXPECT_EQ(run_host("lists/again"), 0) << "a new container for the same files succeeds";
  std::istringstream again(all_files);
  for (std::string name; std::getline(again, name);) {
    const auto target = get_xattr(cluster->live(name), "trusted.riridized.uuid");
    ASSERT_TRUE(target) << name;
    EXPECT_EQ(read_bytes(cluster->backup(*target)), read_bytes(cluster->snapshot(name))) << name;
  }
}

TEST_F(gluster, a_host_that_drops_its_stubber_exits_at_once) {
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    { stubber::stubber s("live", "backup"); }
    { stubber::stubber s("live", "backup"); }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace tarn::test
