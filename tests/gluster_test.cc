// What only a real GlusterFS cluster shows: attributes through gfapi and on the brick,
// the snapshot's read-only translator, bricks of the backup and live volumes that die in
// the middle of a stub run, and a host that does not wait for connections to finish.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <vector>

#include <boost/filesystem.hpp>

#include "core/tarn_api.h"
#include "core/tarn_utils.h"
#include "stubber/audit.h"
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

// The process keeps its connections: lists that another client removed and wrote anew
// since the last run (entries that gfapi still has cached) are read like any other.
TEST_F(gluster, a_later_run_reads_lists_that_another_client_made_anew) {
  cluster->add_file("/d/a", "a");
  for (int run = 0; run < 2; ++run) {
    boost::filesystem::remove_all(cluster->live("lists"));
    cluster->add_list("lists/p-1", "/d/a\n");
    cluster->add_list("lists/c", "lists/p-1\n");
    EXPECT_EQ(make_stubber()->init("lists/c", stubber::stubber::stub), 0) << ::testing::PrintToString(messages());
  }
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

// A call of the gluster command that cannot hang the test (glusterd can be slow to answer
// while it starts bricks).
const std::string gluster_cli = "timeout 60 gluster --mode=script ";

// The output of a shell command.
std::string output_of(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
    ::pclose(pipe);
  }
  return text;
}

std::string between(const std::string& text, const std::string& open, const std::string& close) {
  const auto start = text.find(open);
  if (start == std::string::npos) return "";
  const auto end = text.find(close, start + open.size());
  return end == std::string::npos ? "" : text.substr(start + open.size(), end - start - open.size());
}

struct brick {
  std::string path;
  int pid = 0;
  bool online = false;
};

// The bricks of `volume` as glusterd reports them, in the order of its replica sets.
std::vector<brick> bricks_of(const std::string& volume) {
  const std::string status = output_of(gluster_cli + "volume status " + volume + " --xml 2>/dev/null");
  std::vector<brick> bricks;
  for (auto at = status.find("<node>"); at != std::string::npos; at = status.find("<node>", at + 1)) {
    const std::string node = between(status.substr(at), "<node>", "</node>");
    brick b{between(node, "<path>", "</path>")};
    if (b.path.find("/bricks/") == std::string::npos) continue;  // the self-heal daemon
    b.online = between(node, "<status>", "</status>") == "1";
    b.pid = std::atoi(between(node, "<pid>", "</pid>").c_str());
    bricks.push_back(b);
  }
  return bricks;
}

// The volume's replica sets: pairs of bricks on the replicated shape, its one brick otherwise.
std::vector<std::vector<brick>> replica_sets(const std::string& volume, bool replicated) {
  const std::vector<brick> bricks = bricks_of(volume);
  std::vector<std::vector<brick>> sets;
  const std::size_t set_size = replicated && volume != "livesnap" ? 2 : 1;
  for (std::size_t i = 0; i + set_size <= bricks.size(); i += set_size)
    sets.emplace_back(bricks.begin() + long(i), bricks.begin() + long(i + set_size));
  return sets;
}

// A line on the test's output for each step of a fault test, so that a test stopped by
// its time limit shows how far it came.
void progress(const std::string& step) {
  static const auto started = std::chrono::steady_clock::now();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::fprintf(stderr, "[%6.1f s] %s\n", seconds, step.c_str());
}

// Polls `done` for up to `seconds` of wall time (a poll that runs gluster commands itself
// takes a second or more).
bool wait_until(const std::function<bool()>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    ::usleep(100 * 1000);
  }
  return done();
}

bool all_online(const std::string& volume) {
  const std::vector<brick> bricks = bricks_of(volume);
  for (const brick& b : bricks)
    if (!b.online) return false;
  return !bricks.empty();
}

// Starts the volume's killed bricks again once glusterd has seen them die, and waits
// until every brick and this machine's mount of the volume answer. Returns what did not
// happen in time, or nothing.
// `whole_set`: the killed bricks were a whole replica set, whose files nothing else served.
std::string restart_bricks(const std::string& volume, const std::string& mount, const std::vector<brick>& killed,
                           bool whole_set) {
  const auto seen_down = [&] {
    for (const brick& b : bricks_of(volume))
      for (const brick& k : killed)
        if (b.path == k.path && b.online) return false;
    return true;
  };
  wait_until(seen_down, 30);
  const std::string start = gluster_cli + "volume start " + volume + " force > /dev/null 2>&1";
  if (!wait_until([&] { return all_online(volume) || (::system(start.c_str()), false); }, 60))
    return "bricks not online after start force:\n" + output_of(gluster_cli + "volume status " + volume + " 2>&1");
  // The mount's client reconnects to a brick a few seconds after it is back: wait until
  // every file that the killed bricks hold reads through the mount (but partial copies,
  // which the run may have renamed on the bricks that stayed).
  std::vector<std::string> held;
  for (const brick& k : whole_set ? killed : std::vector<brick>{}) {
    std::istringstream found(output_of("cd '" + k.path + "' && find . -path ./.glusterfs -prune -o -type f -print"));
    for (std::string file; std::getline(found, file);)
      if (file.find(".tarn-partial") == std::string::npos) held.push_back(mount + file.substr(1));
  }
  std::string unreadable;
  const bool answers = wait_until([&] {
    DIR* directory = ::opendir(mount.c_str());
    if (!directory) return unreadable = mount, false;
    const bool listed = ::readdir(directory) != nullptr;
    ::closedir(directory);
    for (const std::string& file : held) {
      const int fd = ::open(file.c_str(), O_RDONLY);
      if (fd < 0) return unreadable = file, false;
      ::close(fd);
    }
    return listed;
  }, 60);
  progress(volume + ": bricks back" + (answers ? "" : ", but the mount does not read " + unreadable));
  return answers ? "" : "the mount does not read " + unreadable;
}

// Heals the volume and waits until no brick has entries left to heal. Returns what is
// left to heal, or nothing.
std::string heal(const std::string& volume) {
  std::string info;
  const bool healed = wait_until([&] {
    ::system((gluster_cli + "volume heal " + volume + " > /dev/null 2>&1").c_str());
    info = output_of(gluster_cli + "volume heal " + volume + " info 2>&1");
    if (info.find("Number of entries:") == std::string::npos) return false;
    for (auto at = info.find("Number of entries:"); at != std::string::npos; at = info.find("Number of entries:", at + 1))
      if (info.compare(at, 20, "Number of entries: 0") != 0) return false;
    return true;
  }, 120);
  progress(volume + (healed ? ": healed" : ": not healed"));
  return healed ? "" : "not healed:\n" + info;
}

// A test that was stopped part-way (a timeout) can leave bricks down or entries to heal:
// the next one starts from a whole volume.
void make_whole(const std::string& volume, const std::string& mount, bool replicated) {
  if (all_online(volume)) return;
  ASSERT_EQ(restart_bricks(volume, mount, {}, false), "");
  if (replicated) {
    ASSERT_EQ(heal(volume), "");
  }
}

// Runs the host program on `container` (its messages into `log` when given) and returns
// its exit status.
int run_host(const std::string& container, const std::string& log = "/dev/null") {
  const std::string command = std::string(TARN_HOST_PROGRAM) + " -q stub live backup " + container + " 2>" + log;
  return WEXITSTATUS(::system(command.c_str()));
}

// A stub run of 4 collect files of 30 files of 256 KiB, with bricks killed part-way.
class gluster_faults : public gluster {
 protected:
  void SetUp() override {
    if (!gluster_unavailable()) {
      for (const char* volume : {"live", "backup"})
        make_whole(volume, gluster_state() + "/mnt/" + volume, gluster_replicated());
      if (HasFatalFailure()) return;
    }
    gluster::SetUp();
    if (IsSkipped()) return;
    for (int list = 0; list < 4; ++list)
      for (int i = 0; i < 30; ++i) {
        files.push_back("/d" + std::to_string(list) + "/f" + std::to_string(i));
        cluster->add_file(files.back(), pattern(256 * 1024, unsigned(list * 100 + i)));
      }
    write_container();
  }

  void write_container() {
    std::string container;
    for (int list = 0; list < 4; ++list) {
      std::string collect;
      for (int i = 0; i < 30; ++i) collect += files[std::size_t(list * 30 + i)] + "\n";
      cluster->add_list("lists/p" + std::to_string(list) + "-1", collect);
      container += "lists/p" + std::to_string(list) + "-1\n";
    }
    cluster->add_list("lists/c", container);
  }

  // Kills `bricks` by pid once the run has marked its first file (a run of this size can
  // end within any fixed delay), and returns the run's exit status.
  int run_killing(const std::vector<brick>& bricks, const std::string& log = "/dev/null") {
    for (const brick& b : bricks) EXPECT_GT(b.pid, 0) << b.path;
    const pid_t child = ::fork();
    if (child == 0) {
      ::setpgid(0, 0);  // the host runs under a shell: a hung run is killed as a group
      ::_exit(run_host("lists/c", log));
    }
    wait_until([&] {
      for (const std::string& file : files)
        if (get_xattr(cluster->live(file), "trusted.farstow.mtime")) return true;
      return false;
    }, 60);
    for (const brick& b : bricks)
      if (b.pid > 0) ::kill(b.pid, SIGKILL);
    progress(std::to_string(bricks.size()) + " bricks killed");
    int status = 0;
    const bool ended = wait_until([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 90);
    if (!ended) {
      // Where the hung run waits, for whoever reads the failure.
      std::cerr << output_of("for p in $(pgrep -g " + std::to_string(child) + "); do command -v gdb > /dev/null && "
                             "gdb -p $p -batch -ex 'thread apply all bt' 2>&1 | grep -E '^(#|Thread)'; done");
      ::kill(-child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    progress(ended ? "the run ended" : "the run hung and was killed");
    EXPECT_TRUE(ended) << "the run ends within 90 s of the kill";
    EXPECT_TRUE(WIFEXITED(status));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Every mark names a complete copy of the snapshot's version, and verify agrees: it
  // finds nothing but files not stubbed yet. Returns the files marked.
  std::size_t expect_marks_sound() {
    std::size_t marked = 0;
    for (const std::string& name : files) {
      if (!get_xattr(cluster->live(name), "trusted.farstow.mtime")) continue;
      ++marked;
      const auto target = get_xattr(cluster->live(name), "trusted.riridized.uuid");
      EXPECT_TRUE(target) << name;
      if (target) {
        EXPECT_EQ(read_bytes(cluster->backup(*target)), read_bytes(cluster->snapshot(name))) << name;
      }
    }
    write_container();
    auto s = make_stubber();
    stubber::audit::report report;
    EXPECT_TRUE(stubber::audit::verify_container(*s, "lists/c", {true}, report)) << ::testing::PrintToString(messages());
    for (const auto& p : report.problems)
      EXPECT_EQ(p.kind, stubber::audit::kind::not_stubbed) << p.live_path << " -> " << p.target_path;
    return marked;
  }

  void expect_a_new_run_stubs_everything() {
    write_container();
    EXPECT_EQ(run_host("lists/c"), 0) << "a new run over the same files succeeds";
    EXPECT_EQ(expect_marks_sound(), files.size());
  }

  std::vector<std::string> files;
};

// With a whole replica set of the backup volume gone, the files that hash to it cannot be
// copied: the run fails as a whole, its failure pass goes on past what it cannot reach,
// and no mark names a copy that is missing or partial.
TEST_F(gluster_faults, a_stub_run_that_loses_a_backup_replica_set_fails_cleanly) {
  const std::vector<brick> lost = replica_sets("backup", cluster->replicated).front();
  const std::string log = gluster_state() + "/lost-set.log";
  // One file at a time: wider windows can copy every file before the first mark is seen,
  // and the run then rightly succeeds without the lost set.
  const copy_window one_at_a_time(1);
  EXPECT_EQ(run_killing(lost, log), 1) << "the run reports failure";
  const std::string messages = read_bytes(log);
  EXPECT_NE(messages.find("Stubbing failed."), std::string::npos) << messages;
  ASSERT_EQ(restart_bricks("backup", cluster->backup(), lost, true), "");
  if (cluster->replicated) {
    ASSERT_EQ(heal("backup"), "");  // before new entries, or replica 2 can split its directories
  }
  expect_marks_sound();
  expect_a_new_run_stubs_everything();
}

// One brick of each replica pair of the backup volume dies part-way (the second: the
// first brick of a pair of two keeps the client quorum): the other serves, the run
// succeeds, every mark is sound, and once the bricks are back and healed both bricks of
// each pair hold every copy.
TEST_F(gluster_faults, a_stub_run_outlives_one_brick_of_each_backup_pair) {
  if (!cluster->replicated) GTEST_SKIP() << "the cluster's volumes have one brick each";
  std::vector<brick> killed;
  for (const auto& pair : replica_sets("backup", true)) killed.push_back(pair.back());
  EXPECT_EQ(run_killing(killed), 0);
  EXPECT_EQ(expect_marks_sound(), files.size());
  ASSERT_EQ(restart_bricks("backup", cluster->backup(), killed, false), "");
  ASSERT_EQ(heal("backup"), "");
  for (const std::string& name : files) {
    const std::string target = *get_xattr(cluster->live(name), "trusted.riridized.uuid");
    int holders = 0;
    for (const brick& b : bricks_of("backup"))
      if (exists(b.path + "/" + target)) {
        ++holders;
        EXPECT_EQ(read_bytes(b.path + "/" + target), read_bytes(cluster->snapshot(name))) << b.path << " " << name;
      }
    EXPECT_EQ(holders, 2) << target << " on both bricks of its pair";
  }
  // This process connected while those bricks were down, and keeps its connection: with
  // the bricks that stayed up now killed in turn, its reads reach the restarted ones.
  std::vector<brick> stayed;
  for (const auto& pair : replica_sets("backup", true)) stayed.push_back(pair.front());
  for (const brick& b : stayed) ::kill(b.pid, SIGKILL);
  const auto checked_in_process = [&] {
    auto s = make_stubber();
    stubber::audit::report report;
    return stubber::audit::verify_container(*s, "lists/c", {true}, report) && report.sound == files.size();
  };
  EXPECT_TRUE(wait_until(checked_in_process, 30)) << "copies read through the connection made before";
  ASSERT_EQ(restart_bricks("backup", cluster->backup(), stayed, false), "");
  ASSERT_EQ(heal("backup"), "");
}

// A brick of the live volume dies part-way: the marks land on the other replica, or the
// run fails cleanly; no brick ever holds a mark that names a copy which is not there.
TEST_F(gluster_faults, a_live_brick_that_dies_never_leaves_a_mark_without_its_copy) {
  std::vector<brick> killed;
  for (const auto& set : replica_sets("live", cluster->replicated)) killed.push_back(set.back());
  if (!cluster->replicated) killed.resize(1);
  const int status = run_killing(killed);
  EXPECT_TRUE(status == 0 || status == 1) << status;
  ASSERT_EQ(restart_bricks("live", cluster->live(), killed, !cluster->replicated), "");
  if (cluster->replicated) {
    ASSERT_EQ(heal("live"), "");
  }
  for (const brick& b : bricks_of("live"))
    for (const std::string& name : files) {
      const std::string on_brick = b.path + name;
      if (!exists(on_brick) || !get_xattr(on_brick, "trusted.farstow.mtime")) continue;
      const auto target = get_xattr(on_brick, "trusted.riridized.uuid");
      ASSERT_TRUE(target) << on_brick;
      EXPECT_EQ(read_bytes(cluster->backup(*target)), read_bytes(cluster->snapshot(name))) << on_brick;
    }
  expect_marks_sound();
  expect_a_new_run_stubs_everything();
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
