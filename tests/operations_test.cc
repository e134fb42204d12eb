// The three operations through init: stub, delete and truncate, with the driver, the
// deletion worker, truncation through the archive tool and container cleanup.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include <boost/thread/thread.hpp>

#include "tests/support/stubber_fixture.h"

namespace tarn::test {
namespace {

using strings = std::vector<std::string>;
using core_testing::operation;

const std::string fake_bin = "/tmp/fake-bin";
const std::string command_prefix = "farstow stub glusterfs live glusterfs backup /tmp/farstow/";

// An archive tool that records each call ("|"-joined arguments) and the list it was given,
// and exits with the code in fake-bin/exit.
void install_fake_archive_tool() {
  write_bytes(fake_bin + "/farstow",
              "#!/bin/sh\n"
              "(IFS='|'; printf 'farstow|%s\\n' \"$*\") >> " + fake_bin + "/calls\n"
              "cp \"$6\" " + fake_bin + "/list-\"$(basename \"$6\")\" 2>/dev/null\n"
              "exit \"$(cat " + fake_bin + "/exit 2>/dev/null || echo 0)\"\n");
  ::chmod((fake_bin + "/farstow").c_str(), 0755);
  const std::string path = fake_bin + ":" + std::getenv("PATH");
  ::setenv("PATH", path.c_str(), 1);
}

strings recorded_calls() {
  if (!exists(fake_bin + "/calls")) return {};
  strings calls;
  std::ifstream in(fake_bin + "/calls");
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  return calls;
}

std::string call_for(const std::string& base_name) {
  return "farstow|stub|glusterfs|live|glusterfs|backup|/tmp/farstow/" + base_name + "|/tmp/failed-files";
}

class operations_base : public stubber_test {
 protected:
  void SetUp() override {
    stubber_test::SetUp();
    if (IsSkipped()) return;
    ::system(("rm -rf /tmp/farstow " + fake_bin).c_str());
    install_fake_archive_tool();
  }

  // Scan files /d/a, /d/b, /d/c in collect files lists/p-1 (a, b) and lists/q-1 (c),
  // listed by the container lists/container.
  void add_tree() {
    for (const char* name : {"/d/a", "/d/b", "/d/c"}) cluster->add_file(name, pattern(40000, name[3]));
    cluster->add_list("lists/p-1", "/d/a\n/d/b\n");
    cluster->add_list("lists/q-1", "/d/c\n");
    cluster->add_list("lists/container", "lists/p-1\nlists/q-1\n");
  }

  void expect_container_removed(bool removed) {
    for (const char* path : {"lists/container", "lists/p-1", "lists/q-1"})
      EXPECT_EQ(exists(cluster->live(path)), !removed) << path;
  }
};

// Each operation on a stubber of its own, as the host program runs them: a stubber's
// lists only grow, so a second call on one stubber works on the first call's entries too.
class operations : public on_both_backends<operations_base> {};
INSTANTIATE_ON_BOTH_BACKENDS(operations);

TEST_P(operations, stub_then_truncate_then_delete_the_same_container) {
  add_tree();
  ASSERT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), 0);
  EXPECT_EQ(read_bytes(cluster->backup("p/00000000/a")), read_bytes(cluster->snapshot("/d/a")));
  EXPECT_EQ(read_bytes(cluster->backup("q/00000000/c")), read_bytes(cluster->snapshot("/d/c")));
  expect_container_removed(false);

  ASSERT_EQ(make_stubber()->init("lists/container", stubber::stubber::archive), 0);
  EXPECT_EQ(recorded_calls(), (strings{call_for("p-1"), call_for("q-1")}));
  EXPECT_EQ(read_bytes(fake_bin + "/list-p-1"), "/d/a\n/d/b\n\n");
  EXPECT_EQ(read_bytes(fake_bin + "/list-q-1"), "/d/c\n\n");
  EXPECT_TRUE(exists("/tmp/farstow/p-1")) << "the list stays for the tool";
  expect_container_removed(true);

  add_tree();
  auto s = make_stubber();
  ASSERT_EQ(s->init("lists/container", stubber::stubber::remove), 0);
  for (const char* copy : {"p/00000000/a", "p/00000000/b", "q/00000000/c"})
    EXPECT_FALSE(exists(cluster->backup(copy))) << copy;
  EXPECT_TRUE(exists(cluster->backup("p/00000000"))) << "backup directories stay";
  std::sort(s->cleared_dirs.begin(), s->cleared_dirs.end());
  EXPECT_EQ(s->cleared_dirs, (strings{"p/00000000", "q/00000000"}));
  expect_container_removed(true);
  EXPECT_TRUE(messages().empty());
}

TEST_P(operations, a_failed_stub_run_removes_the_container_and_the_failed_copies) {
  add_tree();
  core_testing::inject_fault({operation::fsetxattr, "live", "/d/b", EIO, -1, -1, -1, "trusted.riridized.uuid"});
  auto s = make_stubber();
  EXPECT_EQ(s->init("lists/container", stubber::stubber::stub), -1);
  EXPECT_EQ(messages(), strings{"stubber::init(): Stubbing failed."});
  expect_container_removed(true);
  EXPECT_EQ(read_bytes(cluster->live("lists/p-1.failed")), "/d/b\n");
  EXPECT_FALSE(exists(cluster->backup("p/00000000/b"))) << "the failed file's copy is removed";
  EXPECT_TRUE(exists(cluster->backup("p/00000000/a")));
  EXPECT_EQ(s->cleared_dirs, strings{"p/00000000"});
}

TEST_P(operations, a_failed_rerun_keeps_the_copy_that_earlier_marks_name) {
  cluster->add_file("/d/big", pattern(200000, 3));
  const auto add_lists = [&] {
    cluster->add_list("lists/p-1", "/d/big\n");
    cluster->add_list("lists/container", "lists/p-1\n");
  };
  add_lists();
  ASSERT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), 0);
  const std::string copy = read_bytes(cluster->backup("p/00000000/big"));
  const core_testing::fault faults[] = {
      {operation::write, "backup", "p/00000000/.big.tarn-partial", ENOSPC, -1, 65536},
      {operation::fsetxattr, "live", "/d/big", EIO, -1, -1, -1, "trusted.farstow.mtime"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.path);
    core_testing::start_capturing_messages();
    core_testing::inject_fault(fault);
    add_lists();
    EXPECT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), -1);
    EXPECT_EQ(read_bytes(cluster->backup("p/00000000/big")), copy);
    EXPECT_EQ(get_xattr(cluster->live("/d/big"), "trusted.riridized.uuid"), "p/00000000/big");
    EXPECT_EQ(messages().back(), "stubber::begin_deletion(): Kept p/00000000/big: the mark of /d/big names it");
    EXPECT_FALSE(exists(cluster->backup("p/00000000/.big.tarn-partial")));
    core_testing::clear_faults();
  }
}

// An earlier run's line in a failed collect file, a collect file whose base name has no
// "-" after its prefix, and a collect file that the container names twice.
TEST_P(operations, the_failure_pass_removes_only_this_runs_unmarked_copies) {
  for (const char* name : {"/d/a", "/d/b", "/d/x"}) cluster->add_file(name, pattern(5000, name[3]));
  cluster->add_list("lists/p-1", "/d/a\n/d/b\n");
  cluster->add_list("lists/p-1.failed", "/d/a\n");
  cluster->add_list("lists/vol1", "/d/x\n");
  cluster->add_list("lists/container", "lists/p-1\nlists/vol1\nlists/vol1\n");
  for (const char* name : {"/d/b", "/d/x"})
    core_testing::inject_fault({operation::fsetxattr, "live", name, EIO, -1, -1, -1, "trusted.riridized.uuid"});
  EXPECT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), -1);
  EXPECT_EQ(read_bytes(cluster->backup("p/00000000/a")), read_bytes(cluster->snapshot("/d/a")));
  EXPECT_EQ(get_xattr(cluster->live("/d/a"), "trusted.riridized.uuid"), "p/00000000/a");
  EXPECT_FALSE(exists(cluster->backup("p/00000000/b")));
  EXPECT_FALSE(exists(cluster->backup("vol1/00000000/x")));
  EXPECT_EQ(read_bytes(cluster->live("lists/p-1.failed")), "/d/a\n/d/b\n");
  EXPECT_EQ(read_bytes(cluster->live("lists/vol1.failed")), "/d/x\n/d/x\n");
}

TEST_P(operations, deletion_keeps_a_copy_whose_source_cannot_be_read) {
  add_tree();
  ASSERT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), 0);
  core_testing::inject_fault({operation::getxattr, "backup", "p/00000000/a", EIO, -1, -1, -1, "trusted.tarn.source"});
  EXPECT_EQ(make_stubber()->init("lists/container", stubber::stubber::remove), 0);
  EXPECT_TRUE(exists(cluster->backup("p/00000000/a")));
  EXPECT_FALSE(exists(cluster->backup("p/00000000/b")));
  EXPECT_EQ(messages(), strings{"stubber::begin_deletion(): Kept p/00000000/a: its source cannot be read (error 5)"});
}

TEST_P(operations, invalid_calls_change_nothing) {
  add_tree();
  auto s = make_stubber();
  for (int code : {0, 4, -1}) EXPECT_EQ(s->init("lists/container", code), -1) << code;
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(s->stub_container.empty() && s->delete_container.empty());

  s->delete_container = "earlier";
  EXPECT_EQ(s->init("", stubber::stubber::remove), -1);
  EXPECT_EQ(s->delete_container, "");
  EXPECT_EQ(messages(), strings{"stubber::init(): Container file is empty. Please provide a valid value"});
  expect_container_removed(false);
}

TEST_P(operations, an_unreadable_container_is_cleaned_up_except_for_delete) {
  const std::string read_failure = "stubber::create_set_of_files(): Failed to open file lists/noon volume live";
  const std::string list_failure = "stubber::init(): Failed to generate collect file list from conatiner file.";
  const std::string cleanup_failure = "stubber::cleanup_container_files: Failed to unlink lists/no from volume live.";
  const struct {
    int code;
    strings messages;
  } cases[] = {
      {stubber::stubber::stub, {read_failure, list_failure, read_failure, cleanup_failure}},
      {stubber::stubber::archive, {read_failure, list_failure, read_failure, cleanup_failure}},
      {stubber::stubber::remove, {read_failure, list_failure}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    core_testing::start_capturing_messages();
    EXPECT_EQ(make_stubber()->init("lists/no", c.code), -1);
    EXPECT_EQ(messages(), c.messages);
  }
  EXPECT_TRUE(recorded_calls().empty());
}

TEST_P(operations, delete_always_succeeds_and_removes_the_container) {
  add_tree();
  cluster->add_list("lists/container", "lists/p-1\nlists/missing-1\nlists/q-1\n");
  auto s = make_stubber();
  EXPECT_EQ(s->init("lists/container", stubber::stubber::remove), 0) << "no copies exist at all";
  EXPECT_EQ(messages(), (strings{
      "stubber::create_set_of_files(): Failed to open file lists/missing-1on volume live",
      "stubber::begin_deletion(): Failed to generate file list from collect file.",
      "stubber::cleanup_container_files: Failed to unlink lists/missing-1 from volume live."}));
  expect_container_removed(true);
}

TEST_P(operations, snap_time_names_the_directory_that_deletion_clears) {
  cluster->add_file("/d/a", "a");
  ::mkdir(cluster->live("p").c_str(), 0755);
  set_xattr(cluster->live("p"), "user.snap_time", "1700000000");
  cluster->add_list("lists/p-1", "/d/a\n");
  cluster->add_list("lists/container", "lists/p-1\n");
  auto s = make_stubber();
  ASSERT_EQ(s->init("lists/container", stubber::stubber::stub), 0);
  EXPECT_TRUE(exists(cluster->backup("p/1700000000/a")));
  ASSERT_EQ(s->init("lists/container", stubber::stubber::remove), 0);
  EXPECT_FALSE(exists(cluster->backup("p/1700000000/a")));
  EXPECT_EQ(s->cleared_dirs, strings{"p/1700000000"});
}

TEST_P(operations, copies_of_other_files_survive_a_colliding_run_and_its_deletion_pass) {
  cluster->add_file("/x/f", "x content");
  cluster->add_file("/y/f", "y content");
  cluster->add_list("lists/p-1", "/x/f\n");
  cluster->add_list("lists/p-2", "/y/f\n");
  cluster->add_list("lists/first", "lists/p-1\n");
  cluster->add_list("lists/second", "lists/p-2\n");
  ASSERT_EQ(make_stubber()->init("lists/first", stubber::stubber::stub), 0);

  EXPECT_EQ(make_stubber()->init("lists/second", stubber::stubber::stub), -1);
  EXPECT_EQ(read_bytes(cluster->backup("p/00000000/f")), "x content");
  EXPECT_EQ(get_xattr(cluster->backup("p/00000000/f"), "trusted.tarn.source"), "/x/f");
  EXPECT_EQ(messages(), (strings{
      "stubber::begin_stubbing(): Failed to open scan file p/00000000/fon volume backup",
      "stubber::init(): Stubbing failed.",
      "stubber::begin_deletion(): Kept p/00000000/f: it is the copy of /x/f"}));

  ASSERT_EQ(make_stubber()->init("lists/first", stubber::stubber::remove), 0);
  EXPECT_FALSE(exists(cluster->backup("p/00000000/f")));
}

TEST_P(operations, cleanup_reports_each_path_it_cannot_remove) {
  cluster->add_file("/d/a", "a");
  cluster->add_list("lists/p-1", "/d/a\n");
  const struct {
    const char* name;
    std::string container;
    std::string text;
    strings messages;
  } cases[] = {
      {"empty name", "", "", {"stubber::cleanup_container_files: Container file is empty. Failed to cleanup."}},
      {"listed twice", "lists/c", "lists/p-1\nlists/p-1\n",
       {"stubber::cleanup_container_files: Failed to unlink lists/p-1 from volume live."}},
      {"lists itself", "lists/c", "lists/c\n",
       {"stubber::cleanup_container_files: Failed to unlink lists/c from volume live."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.container.empty()) cluster->add_list(c.container, c.text);
    cluster->add_list("lists/p-1", "/d/a\n");
    core_testing::start_capturing_messages();
    make_stubber()->cleanup_container_files(c.container);
    EXPECT_EQ(messages(), c.messages);
    if (!c.container.empty()) {
      EXPECT_FALSE(exists(cluster->live(c.container)));
    }
    EXPECT_TRUE(exists(cluster->live("/d/a"))) << "scan files are never touched";
  }
}

TEST_P(operations, a_failing_archive_tool_stops_truncation) {
  add_tree();
  write_bytes(fake_bin + "/exit", "3\n");
  auto s = make_stubber();
  EXPECT_EQ(s->init("lists/container", stubber::stubber::archive), -1);
  EXPECT_EQ(recorded_calls(), strings{call_for("p-1")}) << "later collect files are not handed over";
  EXPECT_FALSE(exists("/tmp/farstow/p-1"));
  EXPECT_TRUE(exists("/tmp/farstow"));
  EXPECT_EQ(messages(), (strings{"stubber::truncate(): Failed to execute command " + command_prefix +
                                     "p-1 /tmp/failed-files.",
                                 "stubber::init(): Files truncation failed."}));
  expect_container_removed(true);
}

TEST_P(operations, an_unreadable_collect_file_stops_truncation) {
  add_tree();
  ::unlink(cluster->live("lists/p-1").c_str());
  auto s = make_stubber();
  EXPECT_EQ(s->init("lists/container", stubber::stubber::archive), -1);
  EXPECT_TRUE(recorded_calls().empty());
  EXPECT_EQ(messages().at(1), "stubber::init(): Files truncation failed.");
}

TEST_P(operations, truncation_writes_only_into_a_safe_work_directory) {
  add_tree();
  const struct {
    const char* name;
    const char* setup;
    const char* message;
  } cases[] = {
      {"symbolic link", "mkdir -p /tmp/elsewhere && ln -s /tmp/elsewhere /tmp/farstow",
       "Failed to create farstow directory."},
      {"plain file", "touch /tmp/farstow", "Failed to create farstow directory."},
      {"another owner", "mkdir /tmp/farstow && chown 65534 /tmp/farstow", "Failed to create farstow directory."},
      {"planted list link", "mkdir /tmp/farstow && ln -s /tmp/victim /tmp/farstow/p-1",
       "Failed to generate farstow collect file."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::system("rm -rf /tmp/farstow /tmp/elsewhere; echo keep > /tmp/victim");
    ASSERT_EQ(::system(c.setup), 0);
    core_testing::start_capturing_messages();
    auto s = make_stubber();
    s->stub_collect_files = {"lists/p-1"};
    EXPECT_EQ(s->truncate(), -1);
    EXPECT_EQ(messages(), strings{std::string("stubber::truncate(): ") + c.message});
    EXPECT_EQ(read_bytes("/tmp/victim"), "keep\n");
    EXPECT_FALSE(exists("/tmp/elsewhere/p-1"));
  }
  EXPECT_TRUE(recorded_calls().empty());
  ::system("rm -rf /tmp/farstow");
  auto s = make_stubber();
  EXPECT_EQ(s->truncate(), 0) << "nothing to hand over";
  EXPECT_FALSE(exists("/tmp/farstow"));
}

TEST_P(operations, the_driver_runs_one_thread_per_collect_file) {
  const int files = 3 * int(boost::thread::hardware_concurrency()) + 5;
  std::string container;
  for (int i = 0; i < files; ++i) {
    const std::string scan = "/d/f" + std::to_string(i);
    cluster->add_file(scan, pattern(1000, unsigned(i)));
    cluster->add_list("lists/p" + std::to_string(i) + "-1", scan + "\n");
    container += "lists/p" + std::to_string(i) + "-1\n";
  }
  cluster->add_list("lists/container", container);
  auto s = make_stubber();
  ASSERT_EQ(s->init("lists/container", stubber::stubber::stub), 0);
  for (int i = 0; i < files; ++i)
    EXPECT_EQ(get_xattr(cluster->live("/d/f" + std::to_string(i)), "trusted.riridized.uuid"),
              "p" + std::to_string(i) + "/00000000/f" + std::to_string(i));
}

TEST_P(operations, a_stub_run_fails_on_any_failure_of_its_workers) {
  add_tree();
  auto s = make_stubber();
  s->stub_collect_files = {"lists/p-1"};
  core_testing::inject_fault({operation::mkdir, "backup", "p/00000000", EACCES});
  EXPECT_EQ(s->multithreaded_processing(&stubber::stubber::begin_stubbing, s->stub_collect_files, true), -1)
      << "a directory failure writes no failed collect file";
  core_testing::clear_faults();
  EXPECT_EQ(s->multithreaded_processing(&stubber::stubber::begin_stubbing, s->stub_collect_files, true), 0);
  s->delete_collect_files = {"from an earlier operation"};
  EXPECT_EQ(s->multithreaded_processing(&stubber::stubber::begin_stubbing, s->stub_collect_files, true), -1);
  EXPECT_EQ(s->multithreaded_processing(&stubber::stubber::begin_deletion, s->delete_collect_files, false), 0);
  EXPECT_EQ(s->multithreaded_processing(&stubber::stubber::begin_stubbing, {}, false), 0);
}

// A pids cgroup that lets the process start only a few threads.
class thread_limit {
 public:
  explicit thread_limit(int pids) {
    if (::mkdir(directory.c_str(), 0755) < 0 && errno != EEXIST) return;
    std::ofstream(directory + "/pids.max") << pids;
    usable = bool(std::ofstream(directory + "/pids.max"));
  }
  ~thread_limit() { ::rmdir(directory.c_str()); }
  bool enter() { return usable && bool(std::ofstream(directory + "/cgroup.procs") << ::getpid()); }
  bool usable = false;

 private:
  const std::string directory = "/sys/fs/cgroup/pids/tarn-test-" + std::to_string(::getpid());
};

// Local volumes only: the child of a fork must not share gfapi's connection threads.
class operations_local : public operations_base {};

TEST_F(operations_local, work_is_done_when_threads_cannot_be_started) {
  const int files = 40;
  std::string container;
  for (int i = 0; i < files; ++i) {
    cluster->add_file("/d/f" + std::to_string(i), "x");
    cluster->add_list("lists/p" + std::to_string(i) + "-1", "/d/f" + std::to_string(i) + "\n");
    container += "lists/p" + std::to_string(i) + "-1\n";
  }
  cluster->add_list("lists/container", container);
  thread_limit limit(6);
  if (!limit.usable) GTEST_SKIP() << "no pids cgroup to limit threads with";
  const pid_t child = ::fork();
  if (child == 0) {
    if (!limit.enter()) ::_exit(3);
    auto s = make_stubber();
    ::_exit(s->init("lists/container", stubber::stubber::stub) == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int i = 0; i < files; ++i)
    EXPECT_TRUE(get_xattr(cluster->live("/d/f" + std::to_string(i)), "trusted.farstow.mtime")) << i;
}

}  // namespace
}  // namespace tarn::test
