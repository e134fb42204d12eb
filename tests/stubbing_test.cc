// The stubbing worker: exact copies in the stated layout, exact marks on the live files,
// and every failure row with its message, closes, failed collect file and result.

#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "stubber/window_helpers.h"
#include "tests/support/stubber_fixture.h"

namespace tarn::test {
namespace {

using strings = std::vector<std::string>;
using core_testing::operation;

class stubbing_base : public stubber_test {
 protected:
  // Stubs the collect files through the worker alone, on one thread.
  std::error_code stub(const strings& collect_files) {
    s = make_stubber();
    s->stub_collect_files = collect_files;
    return s->begin_stubbing(0, int(collect_files.size()), 1);
  }
  void expect_stubbed(const std::string& source, const std::string& target) {
    SCOPED_TRACE(source);
    EXPECT_EQ(read_bytes(cluster->backup(target)), read_bytes(cluster->snapshot(source)));
    EXPECT_EQ(get_xattr(cluster->live(source), "trusted.riridized.uuid"), target);
    struct stat record{};
    ::stat(cluster->snapshot(source).c_str(), &record);
    EXPECT_EQ(get_xattr(cluster->live(source), "trusted.farstow.mtime"), std::to_string(record.st_mtime));
    EXPECT_EQ(get_xattr(cluster->backup(target), "trusted.tarn.source"), source);
  }
  void expect_unmarked(const std::string& source) {
    EXPECT_FALSE(get_xattr(cluster->live(source), "trusted.farstow.mtime")) << source;
  }
  std::unique_ptr<stubber::stubber> s;
};

class stubbing : public stubbing_base {};
class stubbing_data : public on_both_backends<stubbing_base> {};
INSTANTIATE_ON_BOTH_BACKENDS(stubbing_data);

TEST_P(stubbing_data, copies_are_byte_identical_whatever_their_size) {
  std::string list;
  // The last is more than a stub run copies at once: its copy waits for all of it, not more.
  const std::size_t sizes[] = {0, 1, 32767, 32768, 32769, 2 * 32768 + 100, 1000003, (3 << 20) + 4097};
  for (std::size_t size : sizes) {
    const std::string name = "/data/f" + std::to_string(size);
    cluster->add_file(name, pattern(size, unsigned(size)));
    list += name + "\n";
  }
  cluster->add_list("lists/big-0001", list);
  EXPECT_EQ(stub({"lists/big-0001"}), success);
  for (std::size_t size : sizes)
    expect_stubbed("/data/f" + std::to_string(size), "big/00000000/f" + std::to_string(size));
  EXPECT_TRUE(s->delete_collect_files.empty());
  EXPECT_TRUE(messages().empty());
}

TEST_P(stubbing_data, layout_and_marks_follow_the_collect_prefix_and_snap_time) {
  cluster->add_file("/data/x.bin", "payload");
  struct utimbuf times{977, 977};
  ::utime(cluster->snapshot("/data/x.bin").c_str(), &times);
  ::mkdir(cluster->live("vol1").c_str(), 0755);
  set_xattr(cluster->live("vol1"), "user.snap_time", "42");
  cluster->add_list("lists/vol1-0003", "/data/x.bin\n");
  EXPECT_EQ(stub({"lists/vol1-0003"}), success);
  EXPECT_EQ(get_xattr(cluster->live("/data/x.bin"), "trusted.riridized.uuid"), "vol1/42/x.bin");
  EXPECT_EQ(get_xattr(cluster->live("/data/x.bin"), "trusted.farstow.mtime"), "977");
  EXPECT_EQ(read_bytes(cluster->backup("vol1/42/x.bin")), "payload");
}

TEST_P(stubbing_data, collect_prefixes_and_snap_times_name_the_backup_directory) {
  cluster->add_file("/a/f", "f");
  ::mkdir(cluster->live("empty").c_str(), 0755);
  set_xattr(cluster->live("empty"), "user.snap_time", "");
  const struct {
    const char* collect_file;
    const char* target;
  } cases[] = {
      {"data-0001", "data/00000000/f"},
      {"lists/--data-0001", "data/00000000/f"},
      {"lists/plain", "plain/00000000/f"},
      {"lists/empty-1", "empty//f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.collect_file);
    cluster->add_list(c.collect_file, "/a/f\n");
    EXPECT_EQ(stub({c.collect_file}), success);
    EXPECT_EQ(get_xattr(cluster->live("/a/f"), "trusted.riridized.uuid"), c.target);
    EXPECT_TRUE(exists(cluster->backup(c.target)));
  }
}

TEST_F(stubbing, an_empty_collect_file_still_makes_the_directories) {
  cluster->add_list("lists/p-1", "");
  EXPECT_EQ(stub({"lists/p-1"}), success);
  EXPECT_TRUE(exists(cluster->backup("p/00000000")));
  EXPECT_EQ(stub({}), success) << "a count of 0 does nothing";
}

// One row of the failure table: scan file /d/b of lists/p-1 fails.
struct failure_row {
  const char* name;
  core_testing::fault fault;
  strings messages;
  strings closed;   // in order, after the failure
  bool target_made;  // the copy of /d/b took its target's name (complete and synced)
};

void PrintTo(const failure_row& row, std::ostream* out) { *out << row.name; }

class stubbing_failures : public stubbing_base, public ::testing::WithParamInterface<failure_row> {};

TEST_P(stubbing_failures, stop_at_the_first_failing_scan_file) {
  const failure_row& row = GetParam();
  const copy_window one_at_a_time(1);  // the closes below are those of the serial order
  for (const char* name : {"/d/a", "/d/b", "/d/c"}) cluster->add_file(name, pattern(70000, name[3]));
  cluster->add_list("lists/p-1", "/d/a\n/d/b\n/d/c\n");
  cluster->add_list("lists/p-2", "/d/c\n");
  s = make_stubber();
  s->stub_collect_files = {"lists/p-1", "lists/p-2"};
  core_testing::inject_fault(row.fault);
  core_testing::start_tracing();

  EXPECT_EQ(s->begin_stubbing(0, 2, 1), code(EFAULT));

  expect_stubbed("/d/a", "p/00000000/a");
  expect_unmarked("/d/b");
  expect_unmarked("/d/c");
  EXPECT_FALSE(exists(cluster->backup("p/00000000/c"))) << "nothing after the failure is touched";
  EXPECT_EQ(exists(cluster->backup("p/00000000/b")), row.target_made);
  EXPECT_FALSE(exists(cluster->backup("p/00000000/.b.tarn-partial"))) << "the partial copy is removed";
  EXPECT_EQ(read_bytes(cluster->live("lists/p-1.failed")), "/d/b\n");
  EXPECT_EQ(s->delete_collect_files, strings{"lists/p-1.failed"});
  EXPECT_EQ(messages(), row.messages);

  strings closed_after_a;
  const strings all = closes();
  for (const std::string& close : all)
    if (close.find("/d/a") == std::string::npos && close.find(".a.tarn-partial") == std::string::npos &&
        close.find("lists/") == std::string::npos)
      closed_after_a.push_back(close);
  EXPECT_EQ(closed_after_a, row.closed);
}

const char* const label = "stubber::begin_stubbing(): ";
const std::string source_closed = "livesnap:/d/b";
const std::string partial_b = "p/00000000/.b.tarn-partial";
const std::string target_closed = "backup:" + partial_b;
const std::string live_closed = "live:/d/b";

INSTANTIATE_TEST_SUITE_P(
    rows, stubbing_failures,
    ::testing::Values(
        failure_row{"source_open", {operation::open, "livesnap", "/d/b", ENOENT},
                    {std::string(label) + "Failed to open scan file /d/bon volume livesnap"}, {}, false},
        failure_row{"target_open", {operation::open, "backup", partial_b, EACCES},
                    {std::string(label) + "Failed to open scan file p/00000000/bon volume backup"},
                    {source_closed}, false},
        failure_row{"fstat", {operation::fstat, "livesnap", "/d/b", EIO},
                    {std::string(label) + "Failed to stat scan file /d/bon volume livesnap"},
                    {source_closed, target_closed}, false},
        failure_row{"copy_read", {operation::read, "livesnap", "/d/b", EIO, -1, 32768},
                    {"stubber::file_copy: Failed to read data from offset [32768] error [5]",
                     std::string(label) + "Failed to copy scan file /d/bto p/00000000/b on backup"},
                    {source_closed, target_closed}, false},
        failure_row{"copy_write", {operation::write, "backup", partial_b, ENOSPC, -1, 65536},
                    {"stubber::file_copy: Failed to write data to offset [65536] error [28]",
                     std::string(label) + "Failed to copy scan file /d/bto p/00000000/b on backup"},
                    {source_closed, target_closed}, false},
        failure_row{"copy_sync", {operation::fsync, "backup", partial_b, EIO},
                    {std::string(label) + "Failed to copy scan file /d/bto p/00000000/b on backup"},
                    {source_closed, target_closed}, false},
        failure_row{"rename", {operation::rename, "backup", "p/00000000/b", EIO},
                    {std::string(label) + "Failed to copy scan file /d/bto p/00000000/b on backup"},
                    {live_closed, source_closed, target_closed}, false},
        failure_row{"live_open", {operation::open, "live", "/d/b", ENOENT},
                    {std::string(label) + "Failed to open scan file /d/bon volume live"},
                    {source_closed, target_closed}, false},
        failure_row{"uuid_attribute", {operation::fsetxattr, "live", "/d/b", EIO, -1, -1, -1, "trusted.riridized.uuid"},
                    {}, {live_closed, source_closed, target_closed}, true},
        failure_row{"mtime_attribute", {operation::fsetxattr, "live", "/d/b", EIO, -1, -1, -1, "trusted.farstow.mtime"},
                    {}, {live_closed, source_closed, target_closed}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A write accepted by the core library and failing only when written out (here past the
// process's file size limit) fails the copy by its sync: the live file stays unmarked.
TEST_F(stubbing, a_write_that_fails_after_it_was_accepted_fails_the_copy) {
  cluster->add_file("/d/a", pattern(100000));
  cluster->add_list("lists/p-1", "/d/a\n");
  {
    const file_size_limit limit(50000);
    EXPECT_EQ(stub({"lists/p-1"}), code(EFAULT));
  }
  ASSERT_FALSE(messages().empty());
  EXPECT_EQ(messages().back(), std::string(label) + "Failed to copy scan file /d/ato p/00000000/a on backup");
  expect_unmarked("/d/a");
  EXPECT_EQ(read_bytes(cluster->live("lists/p-1.failed")), "/d/a\n");
}

TEST_F(stubbing, failures_before_the_scan_files_write_no_failed_collect_file) {
  cluster->add_file("/d/a", "a");
  cluster->add_list("lists/p-1", "/d/a\n");
  const struct {
    const char* name;
    core_testing::fault fault;
    std::error_code result;
    strings messages;
  } cases[] = {
      {"collect file unreadable", {operation::open, "live", "lists/p-1", ENOENT}, code(EFAULT),
       {"stubber::create_set_of_files(): Failed to open file lists/p-1on volume live",
        std::string(label) + "Failed to generate file list from collect file."}},
      {"prefix directory", {operation::mkdir, "backup", "p", EACCES}, code(EACCES),
       {"stubber::create_directory: Unable to create directory path p in volume backup",
        std::string(label) + "Failed to create directory p on volume backup."}},
      {"backup directory", {operation::mkdir, "backup", "p/00000000", EDQUOT}, code(EDQUOT),
       {"stubber::create_directory: Unable to create directory path p/00000000 in volume backup",
        std::string(label) + "Failed to create directory p/00000000 on volume backup."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    core_testing::start_capturing_messages();
    core_testing::inject_fault(c.fault);
    EXPECT_EQ(stub({"lists/p-1"}), c.result);
    EXPECT_EQ(messages(), c.messages);
    EXPECT_TRUE(s->delete_collect_files.empty());
    EXPECT_FALSE(exists(cluster->live("lists/p-1.failed")));
    core_testing::clear_faults();
  }
}

TEST_F(stubbing, a_copy_is_synced_before_its_live_file_is_marked) {
  cluster->add_file("/d/a", pattern(100000));
  cluster->add_list("lists/p-1", "/d/a\n");
  core_testing::start_tracing();
  EXPECT_EQ(stub({"lists/p-1"}), success);
  strings order;
  for (const auto& call : core_testing::traced_calls()) {
    if (call.op == operation::fsync) order.push_back("sync " + call.volume + ":" + call.path);
    if (call.op == operation::fsetxattr) order.push_back("mark " + call.volume + ":" + call.path);
    if (call.op == operation::rename) order.push_back("rename " + call.volume + ":" + call.path);
    if (call.op == operation::sync_directory) order.push_back("sync " + call.volume + ":" + call.path);
  }
  EXPECT_EQ(order, (strings{"mark backup:p/00000000/.a.tarn-partial", "sync backup:p/00000000/.a.tarn-partial",
                            "rename backup:p/00000000/a", "sync backup:p/00000000", "mark live:/d/a",
                            "mark live:/d/a"}))
      << "the partial copy's source mark, its sync, its rename and the directory's sync, then the "
         "two marks of the live file";
}

TEST_F(stubbing, short_transfers_never_leave_stale_bytes) {
  const std::string content = pattern(100000, 7);
  cluster->add_file("/d/a", content);
  cluster->add_list("lists/p-1", "/d/a\n");
  core_testing::inject_fault({operation::read, "livesnap", "/d/a", 0, 1000});
  core_testing::inject_fault({operation::write, "backup", "p/00000000/.a.tarn-partial", 0, 333});
  EXPECT_EQ(stub({"lists/p-1"}), success);
  expect_stubbed("/d/a", "p/00000000/a");
}

TEST_F(stubbing, a_source_that_ends_early_fails_the_copy) {
  cluster->add_file("/d/a", pattern(70000));
  cluster->add_list("lists/p-1", "/d/a\n");
  core_testing::inject_fault({operation::read, "livesnap", "/d/a", 0, 0, 32768});
  EXPECT_EQ(stub({"lists/p-1"}), code(EFAULT));
  EXPECT_EQ(messages().front(), "stubber::file_copy: Failed to read data from offset [32768] error [5]");
  expect_unmarked("/d/a");
}

TEST_F(stubbing, no_buffer_fails_the_copy_cleanly) {
  cluster->add_file("/d/a", pattern(10));
  cluster->add_list("lists/p-1", "/d/a\n");
  core_testing::inject_fault({operation::alloc, "", "", ENOMEM, -1, 32768});
  EXPECT_EQ(stub({"lists/p-1"}), code(EFAULT));
  EXPECT_EQ(messages().front(), "stubber::file_copy: Failed to read data from offset [0] error [12]");
}

TEST_P(stubbing_data, an_older_longer_target_keeps_no_tail) {
  cluster->add_file("/d/a", "new");
  write_bytes(cluster->backup("p/00000000/a"), "older and longer content");
  cluster->add_list("lists/p-1", "/d/a\n");
  EXPECT_EQ(stub({"lists/p-1"}), success);
  EXPECT_EQ(read_bytes(cluster->backup("p/00000000/a")), "new");
}

TEST_P(stubbing_data, a_partial_copy_that_a_killed_run_left_is_replaced) {
  cluster->add_file("/d/a", pattern(50000, 9));
  write_bytes(cluster->backup("p/00000000/.a.tarn-partial"), "left by a killed run");
  cluster->add_list("lists/p-1", "/d/a\n");
  EXPECT_EQ(stub({"lists/p-1"}), success);
  expect_stubbed("/d/a", "p/00000000/a");
  EXPECT_FALSE(exists(cluster->backup("p/00000000/.a.tarn-partial")));
}

TEST_P(stubbing_data, a_file_deleted_from_the_live_volume_is_not_recreated) {
  write_bytes(cluster->snapshot("/d/gone"), "in the snapshot only");
  cluster->add_list("lists/p-1", "/d/gone\n");
  EXPECT_EQ(stub({"lists/p-1"}), code(EFAULT));
  EXPECT_FALSE(exists(cluster->live("/d/gone")));
  EXPECT_EQ(messages(), strings{std::string(label) + "Failed to open scan file /d/goneon volume live"});
}

TEST_F(stubbing, without_a_snapshot_every_collect_file_fails_at_its_first_scan_file) {
  cluster->write_config(test_cluster::config_naming("nosnap"));
  cluster->add_file("/d/a", "a");
  cluster->add_list("lists/p-1", "/d/a\n");
  cluster->add_list("lists/q-1", "/d/a\n");
  s = make_stubber();
  EXPECT_FALSE(s->snap_ready);
  s->stub_collect_files = {"lists/p-1", "lists/q-1"};
  EXPECT_EQ(s->multithreaded_processing(&stubber::stubber::begin_stubbing, s->stub_collect_files, true), -1);
  EXPECT_EQ(messages(), (strings{std::string(label) + "Failed to open scan file /d/aon volume nosnap",
                                 std::string(label) + "Failed to open scan file /d/aon volume nosnap"}));
  EXPECT_EQ(s->delete_collect_files.size(), 2u);
}

TEST_P(stubbing_data, a_target_is_never_shared_by_two_sources) {
  cluster->add_file("/x/f", "x content");
  cluster->add_file("/y/f", "y content");
  cluster->add_list("lists/p-1", "/x/f\n");
  cluster->add_list("lists/p-2", "/y/f\n");
  cluster->add_list("lists/p-3", "/x/f\n/x/f\n");
  s = make_stubber();
  s->stub_collect_files = {"lists/p-1", "lists/p-2", "lists/p-3"};
  core_testing::start_tracing();
  EXPECT_EQ(s->multithreaded_processing(&stubber::stubber::begin_stubbing, s->stub_collect_files, true), -1);
  // The three workers share the backup directory and ask for it once: concurrent mkdirs of
  // one name can leave a replicated GlusterFS directory split.
  int mkdirs = 0;
  for (const auto& call : core_testing::traced_calls()) mkdirs += call.op == operation::mkdir && call.path == "p/00000000";
  EXPECT_EQ(mkdirs, 1);

  const bool x_won = get_xattr(cluster->live("/x/f"), "trusted.farstow.mtime").has_value();
  const std::string winner = x_won ? "/x/f" : "/y/f";
  const std::string loser = x_won ? "/y/f" : "/x/f";
  expect_stubbed(winner, "p/00000000/f");
  expect_unmarked(loser);
  // /x/f is listed by two collect files: when /y/f wins, both of them fail.
  const strings refused(x_won ? 1 : 2, std::string(label) + "Failed to open scan file p/00000000/fon volume backup");
  EXPECT_EQ(messages(), refused);
}

TEST_P(stubbing_data, a_copy_made_for_another_source_in_an_earlier_run_is_left_alone) {
  cluster->add_file("/x/f", "x content");
  cluster->add_file("/y/f", "y content");
  cluster->add_list("lists/p-1", "/x/f\n");
  cluster->add_list("lists/p-2", "/y/f\n");
  EXPECT_EQ(stub({"lists/p-1"}), success);
  EXPECT_EQ(stub({"lists/p-2"}), code(EFAULT)) << "a new stubber: a new run";
  expect_stubbed("/x/f", "p/00000000/f");
  EXPECT_EQ(stub({"lists/p-1"}), success) << "the same source may be copied again";
  expect_stubbed("/x/f", "p/00000000/f");
}

// What a stub run of one collect file leaves, as lines to compare: its result, messages,
// failed list, and each scan file's marks, copy and partial copy.
strings outcome_of(const test_cluster& cluster, const std::string& tree, const std::string& snap_time,
                   const strings& files, std::error_code result, const stubber::stubber& s,
                   const strings& messages) {
  strings lines{"result " + result.message()};
  lines.insert(lines.end(), messages.begin(), messages.end());
  const std::string failed = cluster.live("lists/" + tree + "-1.failed");
  lines.push_back("failed list: " + (exists(failed) ? read_bytes(failed) : "none"));
  lines.push_back("failed collect files: " + std::to_string(s.delete_collect_files.size()));
  for (const std::string& file : files) {
    const std::string source = "/" + tree + "/" + file;
    const std::string target = tree + "/" + snap_time + "/" + file;
    const auto uuid = get_xattr(cluster.live(source), "trusted.riridized.uuid");
    const auto mtime = get_xattr(cluster.live(source), "trusted.farstow.mtime");
    lines.push_back(source + " marks " + uuid.value_or("-") + " " + (mtime ? "mtime" : "-"));
    const bool copied = exists(cluster.backup(target));
    const bool current = copied && read_bytes(cluster.backup(target)) == read_bytes(cluster.snapshot(source));
    lines.push_back(target + (copied ? (current ? " current" : " older") : " missing"));
    if (exists(cluster.backup(tree + "/" + snap_time + "/." + file + ".tarn-partial")))
      lines.push_back(target + " partial left");
  }
  for (std::string& line : lines)
    for (std::size_t at; (at = line.find(tree)) != std::string::npos;) line.replace(at, tree.size(), "T");
  return lines;
}

// A copy window ends as copying one scan file at a time does: with a failure at the
// window's first, middle or last place, on fresh targets, over the copies that an earlier
// run's marks name, and over live files marked from an earlier snapshot, the same result,
// messages, failed list, marks and copies.
TEST_P(stubbing_data, a_copy_window_ends_as_one_file_at_a_time_would) {
  using fault_maker = core_testing::fault (*)(const std::string& tree, const std::string& file);
  const struct {
    const char* name;
    fault_maker fault;
    bool write_out_fails = false;  // a late write error: the volume's sync reports it too
  } faults[] = {
      {"source open", [](auto& t, auto& f) -> core_testing::fault { return {operation::open, "livesnap", "/" + t + "/" + f, ENOENT}; }},
      {"partial open", [](auto& t, auto& f) -> core_testing::fault { return {operation::open, "backup", t + "/00000000/." + f + ".tarn-partial", EACCES}; }},
      {"copy read", [](auto& t, auto& f) -> core_testing::fault { return {operation::read, "livesnap", "/" + t + "/" + f, EIO, -1, 32768}; }},
      {"copy write", [](auto& t, auto& f) -> core_testing::fault { return {operation::write, "backup", t + "/00000000/." + f + ".tarn-partial", ENOSPC, -1, 65536}; }},
      {"copy sync", [](auto& t, auto& f) -> core_testing::fault { return {operation::fsync, "backup", t + "/00000000/." + f + ".tarn-partial", EIO}; }, true},
      {"live open", [](auto& t, auto& f) -> core_testing::fault { return {operation::open, "live", "/" + t + "/" + f, ENOENT}; }},
      {"rename", [](auto& t, auto& f) -> core_testing::fault { return {operation::rename, "backup", t + "/00000000/" + f, EIO}; }},
      {"uuid mark", [](auto& t, auto& f) -> core_testing::fault { return {operation::fsetxattr, "live", "/" + t + "/" + f, EIO, -1, -1, -1, "trusted.riridized.uuid"}; }},
      {"mtime mark", [](auto& t, auto& f) -> core_testing::fault { return {operation::fsetxattr, "live", "/" + t + "/" + f, EIO, -1, -1, -1, "trusted.farstow.mtime"}; }},
      {"directory sync", [](auto& t, auto&) -> core_testing::fault { return {operation::sync_directory, "backup", t + "/00000000", EIO}; }},
  };
  const strings files{"f0", "f1", "f2", "f3", "f4", "f5"};
  int round = 0;
  enum earlier_run { none, same_snapshot, earlier_snapshot };
  // One run of `window` on a tree of its own, after a first stub run when `earlier`.
  auto run = [&](int window, earlier_run earlier, const char* fault_name, fault_maker fault,
                 bool write_out_fails, const std::string& failing) {
    const std::string tree = "t" + std::to_string(round++);
    std::string list;
    for (const std::string& file : files) {
      cluster->add_file("/" + tree + "/" + file, pattern(70000, unsigned(round)));
      list += "/" + tree + "/" + file + "\n";
    }
    cluster->add_list("lists/" + tree + "-1", list);
    const copy_window setting(window);
    std::string snap_time = "00000000";
    if (earlier != none) {
      EXPECT_EQ(stub({"lists/" + tree + "-1"}), success);
      for (const std::string& file : files) write_bytes(cluster->snapshot("/" + tree + "/" + file), pattern(70001, 99));
    }
    if (earlier == earlier_snapshot) {
      snap_time = "1";
      set_xattr(cluster->live(tree), "user.snap_time", snap_time);
    }
    core_testing::start_capturing_messages();
    core_testing::inject_fault(fault(tree, failing));
    if (write_out_fails) core_testing::inject_fault({operation::syncfs, "backup", "", EIO});
    const std::error_code result = stub({"lists/" + tree + "-1"});
    core_testing::clear_faults();
    SCOPED_TRACE(fault_name);
    strings lines = outcome_of(*cluster, tree, snap_time, files, result, *s, messages());
    if (earlier == earlier_snapshot) {  // the earlier copies stay as they were
      const strings before = outcome_of(*cluster, tree, "00000000", files, result, *s, {});
      lines.insert(lines.end(), before.begin(), before.end());
    }
    return lines;
  };
  // On GlusterFS, where each run costs round trips (and much more under the sanitizers),
  // the first and last places over fresh files and over an earlier snapshot's marks.
  const bool local = GetParam() == backend::local;
  const std::vector<earlier_run> earlier_runs =
      local ? std::vector<earlier_run>{none, same_snapshot, earlier_snapshot} : std::vector<earlier_run>{none, earlier_snapshot};
  const std::vector<const char*> places = local ? std::vector<const char*>{"f0", "f2", "f3"} : std::vector<const char*>{"f0", "f3"};
  for (const earlier_run earlier : earlier_runs)
    for (const auto& f : faults)
      for (const char* failing : places) {  // first, middle and last of a window of 4
        SCOPED_TRACE(std::string(f.name) + " at " + failing + ", earlier run " + std::to_string(earlier));
        const strings serial = run(1, earlier, f.name, f.fault, f.write_out_fails, failing);
        EXPECT_EQ(run(4, earlier, f.name, f.fault, f.write_out_fails, failing), serial);
      }
}

// A later file of a window whose marks cannot be put back after an earlier file failed
// keeps its copy: the marks that it carries must name a complete copy.
TEST_P(stubbing_data, a_mark_that_cannot_be_put_back_keeps_its_copy) {
  std::string list;
  for (const char* name : {"/d/a", "/d/b", "/d/c"}) {
    cluster->add_file(name, pattern(5000, name[3]));
    list += std::string(name) + "\n";
  }
  cluster->add_list("lists/p-1", list);
  const copy_window window(3);
  core_testing::inject_fault({operation::fsetxattr, "live", "/d/a", EIO, -1, -1, -1, "trusted.farstow.mtime"});
  core_testing::inject_fault({operation::fremovexattr, "live", "/d/b", EIO});
  EXPECT_EQ(stub({"lists/p-1"}), code(EFAULT));
  EXPECT_EQ(read_bytes(cluster->live("lists/p-1.failed")), "/d/a\n");
  expect_stubbed("/d/b", "p/00000000/b");
  expect_unmarked("/d/c");
  EXPECT_FALSE(get_xattr(cluster->live("/d/c"), "trusted.riridized.uuid"));
  EXPECT_FALSE(exists(cluster->backup("p/00000000/c")));
}

// Only the first copy in line is woken when bytes come free: a wake-up that went astray
// would leave the run waiting for ever. Copies larger than the limit take all of it.
TEST(copy_budget, every_copy_gets_its_turn_and_the_limit_holds) {
  constexpr int limit = 10;
  stubber::bytes_in_flight budget(limit);
  std::atomic<int> held{0}, most{0};
  std::vector<std::thread> copies;
  for (int i = 0; i < 64; ++i)
    copies.emplace_back([&, i] {
      const int bytes = i % 8 == 0 ? 4 * limit : i % 3 == 0 ? limit : 3;
      const stubber::bytes_in_flight::taken turn(budget, bytes);
      const int now = held += std::min(bytes, limit);
      for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      held -= std::min(bytes, limit);
    });
  for (std::thread& copy : copies) copy.join();
  EXPECT_LE(most.load(), limit);
  EXPECT_GT(most.load(), 0);
}

}  // namespace
}  // namespace tarn::test
