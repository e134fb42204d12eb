// The core storage library: on local volumes, paths stay inside their volume, results
// have the stated forms, snapshots are read-only and commands run without a shell; on
// both backends, handles keep to their open flags, reads see what a file holds, and one
// connection serves many threads.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <list>
#include <thread>
#include <vector>

#include "core/tarn_api.h"
#include "core/tarn_utils.h"
#include "tests/support/fixture.h"

namespace tarn::test {
namespace {

class core_library : public cluster_test {
 protected:
  void SetUp() override {
    cluster_test::SetUp();
    if (IsSkipped()) return;
    api = std::make_unique<tarn_api>();
    live = api->init({"glusterfs", "live", "", ""});
    ASSERT_TRUE(live);
  }

  std::string read_all(const std::string& path) {
    const file_handle file = api->open(live, path, O_RDONLY);
    if (!file) return "<missing>";
    const auto buffer = api->alloc_io_buffer(4096);
    const long n = api->read(file, buffer, 4096, 0, 0);
    api->close(file);
    return n < 0 ? "<error>" : std::string(buffer->get_base(), std::size_t(n));
  }

  std::unique_ptr<tarn_api> api;
  volume_handle live;
};

TEST_F(core_library, leading_slashes_name_the_same_file) {
  cluster->add_file("data/x.bin", "payload");
  EXPECT_EQ(read_all("/data/x.bin"), "payload");
  EXPECT_EQ(read_all("data/x.bin"), "payload");
  EXPECT_EQ(read_all("//data//x.bin"), "payload");
}

TEST_F(core_library, no_path_reaches_outside_the_volume) {
  write_bytes(cluster->live("../secret"), "outside");
  write_bytes("/var/tmp/tarn-outside-target", "outside");
  ASSERT_EQ(::symlink("/var/tmp/tarn-outside-target", cluster->live("absolute").c_str()), 0);
  ASSERT_EQ(::symlink("../secret", cluster->live("relative").c_str()), 0);
  ::mkdir(cluster->live("dir").c_str(), 0755);
  ASSERT_EQ(::symlink("..", cluster->live("dir/up").c_str()), 0);
  write_bytes(cluster->live("inside"), "inside");
  ASSERT_EQ(::symlink("inside", cluster->live("good-link").c_str()), 0);

  for (const char* path : {"../secret", "/../secret", "dir/../../secret", "absolute", "relative",
                           "dir/up/../secret"}) {
    SCOPED_TRACE(path);
    errno = 0;
    EXPECT_FALSE(api->open(live, path, O_RDONLY));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(api->open(live, path, O_RDWR | O_CREAT));
    iovec probe{nullptr, 0};
    EXPECT_EQ(api->getxattr(live, path, "user.any", &probe), -1);
    EXPECT_NE(api->unlink(live, path + std::string("/x")), success);
  }
  EXPECT_NE(api->mkdir(live, "../made", 0777), success);
  EXPECT_FALSE(exists(cluster->live("../made")));
  EXPECT_EQ(read_all("good-link"), "inside");
  EXPECT_EQ(read_bytes("/var/tmp/tarn-outside-target"), "outside");
  ::unlink("/var/tmp/tarn-outside-target");
}

TEST_F(core_library, results_carry_errno_values) {
  errno = 0;
  EXPECT_FALSE(api->open(live, "missing", O_RDONLY));
  EXPECT_EQ(errno, ENOENT);

  EXPECT_EQ(api->mkdir(live, "d", 0777), success);
  EXPECT_EQ(api->mkdir(live, "d", 0777), std::error_code(EEXIST, std::generic_category()));
  EXPECT_EQ(api->mkdir(live, "no/parent", 0777), std::error_code(ENOENT, std::generic_category()));
  EXPECT_EQ(api->unlink(live, "missing"), std::error_code(ENOENT, std::generic_category()));

  write_bytes(cluster->live("f"), "0123456789");
  set_xattr(cluster->live("f"), "user.v", "value");
  iovec probe{nullptr, 0};
  EXPECT_EQ(api->getxattr(live, "/f", "user.v", &probe), 5);
  char small[3];
  iovec too_small{small, sizeof small};
  EXPECT_EQ(api->getxattr(live, "f", "user.v", &too_small), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(api->getxattr(live, "f", "user.none", &probe), -1);
  EXPECT_EQ(errno, ENODATA);

  const file_handle file = api->open(live, "f", O_RDWR | O_CREAT);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->get_file_size(), 10u) << "O_CREAT keeps an existing file's data";
  struct stat record{};
  EXPECT_EQ(api->fstat(file, &record), success);
  EXPECT_EQ(record.st_size, 10);
  char value[] = "abc";
  iovec attribute{value, 3};
  EXPECT_EQ(api->fsetxattr(file, "trusted.tarn.test", &attribute, 0), success);
  EXPECT_EQ(get_xattr(cluster->live("f"), "trusted.tarn.test"), "abc");
  EXPECT_EQ(api->ftruncate(file, 4), success);
  EXPECT_EQ(api->close(file), success);
  EXPECT_EQ(read_bytes(cluster->live("f")), "0123");
  const auto buffer = api->alloc_io_buffer(16);
  EXPECT_EQ(api->read(file, buffer, 16, 0, 0), -1) << "a closed handle reads nothing";
  EXPECT_EQ(errno, EBADF);
}

TEST_F(core_library, io_buffers_are_aligned_whole_and_their_own) {
  const auto allocator = tarn_mem::get_malloc_intfx();
  const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
  for (int round = 0; round < 3; ++round) {  // later rounds reuse buffers that were freed
    std::vector<tarn_mem::buffer_handle> held;
    for (unsigned long size : {1ul, 128ul, 16383ul, 16384ul, 32768ul, 100001ul}) {
      const auto buffer = api->alloc_io_buffer(size);
      ASSERT_TRUE(buffer);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->get_base()) % page, 0u);
      std::memset(buffer->get_base(), round, size);
      held.push_back(buffer);
    }
    for (std::size_t i = 0; i < held.size(); ++i)
      for (std::size_t j = 0; j < held.size(); ++j) {
        const char* a = held[i]->get_base();
        const char* b = held[j]->get_base();
        if (i != j) {
          EXPECT_TRUE(a + held[i]->get_size() <= b || b + held[j]->get_size() <= a);
        }
      }
  }
  for (std::size_t alignment : {std::size_t(8), std::size_t(65536), std::size_t(1) << 21}) {
    const auto buffer = allocator->posix_memalign(alignment, 40000);
    ASSERT_TRUE(buffer) << alignment;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->get_base()) % alignment, 0u);
    std::memset(buffer->get_base(), 1, 40000);
  }
  for (std::size_t refused : {std::size_t(0), std::size_t(3), std::size_t(4096 + 8)})
    EXPECT_FALSE(allocator->posix_memalign(refused, 40000)) << refused;
}

TEST_F(core_library, snapshots_are_found_by_name_and_read_only) {
  std::string volfile;
  EXPECT_EQ(tarn_utils::get_snap_volfile("nosuchsnap", volfile), ENOENT);
  EXPECT_NE(tarn_utils::get_snap_volfile("", volfile), 0);
  EXPECT_NE(tarn_utils::get_snap_volfile("../live", volfile), 0);
  ASSERT_EQ(tarn_utils::get_snap_volfile("livesnap", volfile), 0);

  cluster->add_file("f", "snapshot data");
  tarn_api snap_api;
  const volume_handle snap = snap_api.init({"glusterfs", "livesnap", "", volfile});
  ASSERT_TRUE(snap);
  const std::error_code read_only(EROFS, std::generic_category());
  for (int flags : {O_RDWR, O_WRONLY, O_RDWR | O_CREAT, O_WRONLY | O_CREAT, O_RDONLY | O_TRUNC}) {
    errno = 0;
    EXPECT_FALSE(snap_api.open(snap, "f", flags)) << flags;
    EXPECT_EQ(errno, EROFS);
  }
  EXPECT_EQ(snap_api.mkdir(snap, "d", 0777), read_only);
  EXPECT_EQ(snap_api.unlink(snap, "f"), read_only);
  const file_handle file = snap_api.open(snap, "f", O_RDONLY);
  ASSERT_TRUE(file);
  char value[] = "x";
  iovec attribute{value, 1};
  EXPECT_EQ(snap_api.fsetxattr(file, "trusted.x", &attribute, 0), read_only);
  EXPECT_EQ(snap_api.ftruncate(file, 0), read_only);
  const auto buffer = snap_api.alloc_io_buffer(64);
  EXPECT_EQ(snap_api.read(file, buffer, 64, 0, 0), 13);
  EXPECT_EQ(read_bytes(cluster->snapshot("f")), "snapshot data");
}

TEST_F(core_library, connections_refuse_names_that_are_not_volumes) {
  for (const char* name : {"", ".", "..", "../live", "nosuchvolume"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(api->init({"glusterfs", name, "", ""}));
  }
  EXPECT_EQ(messages().size(), 5u);
  errno = 0;
  EXPECT_FALSE(api->open(volume_handle(), "f", O_RDONLY)) << "an empty volume handle fails cleanly";
  EXPECT_EQ(api->mkdir(volume_handle(), "d", 0777), std::error_code(ENOTCONN, std::generic_category()));
}

TEST_F(core_library, faults_hit_the_calls_they_name) {
  cluster->add_file("a", pattern(300));
  core_testing::inject_fault({core_testing::operation::read, "live", "/a", EIO, -1, 128, 1});
  core_testing::inject_fault({core_testing::operation::read, "live", "a", 0, 7, 256, -1});
  const file_handle file = api->open(live, "a", O_RDONLY);
  const auto buffer = api->alloc_io_buffer(128);
  EXPECT_EQ(api->read(file, buffer, 128, 0, 0), 128);
  EXPECT_EQ(api->read(file, buffer, 128, 128, 0), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(api->read(file, buffer, 128, 128, 0), 128) << "the fault was for one call";
  EXPECT_EQ(api->read(file, buffer, 128, 256, 0), 7) << "a short read";
  core_testing::inject_fault({core_testing::operation::open, "other", "", ENOSPC});
  EXPECT_TRUE(api->open(live, "a", O_RDONLY)) << "faults of another volume do not hit";
}

// A write that fails when it is written out, after the write call was answered, is
// reported by the write, fsync or close that follows: never lost with the gathered block.
TEST_F(core_library, a_write_that_fails_later_is_reported_by_fsync_or_close) {
  const auto buffer = api->alloc_io_buffer(32768);
  std::memset(buffer->get_base(), 'x', 32768);
  const std::error_code too_large(EFBIG, std::generic_category());
  const file_size_limit limit(40000);
  for (const bool by_close : {false, true}) {
    SCOPED_TRACE(by_close ? "close" : "fsync");
    const file_handle file = api->open(live, by_close ? "c" : "s", O_RDWR | O_CREAT);
    ASSERT_TRUE(file);
    EXPECT_EQ(api->write(file, buffer, 32768, 0, 0), 32768);
    const bool refused_at_once = api->write(file, buffer, 32768, 32768, 0) < 32768;
    const std::error_code synced = by_close ? success : api->fsync(file);
    const std::error_code closed = api->close(file);
    EXPECT_TRUE(refused_at_once || (by_close ? closed : synced) == too_large);
  }
}

// The same operations on local volumes and on GlusterFS.
class core_on_backends : public on_both_backends<cluster_test> {
 protected:
  void SetUp() override {
    on_both_backends<cluster_test>::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    api = std::make_unique<tarn_api>();  // after the cluster: it reads the core settings
    live = api->init({"glusterfs", cluster->live_name, "", ""});
    ASSERT_TRUE(live);
  }

  long write_text(const file_handle& file, const std::string& text, unsigned long offset) {
    const auto buffer = api->alloc_io_buffer(text.size());
    std::memcpy(buffer->get_base(), text.data(), text.size());
    return api->write(file, buffer, text.size(), offset, 0);
  }

  std::string read_text(const file_handle& file, unsigned long size, unsigned long offset) {
    const auto buffer = api->alloc_io_buffer(size);
    const long n = api->read(file, buffer, size, offset, 0);
    return n < 0 ? "<error " + std::to_string(errno) + ">" : std::string(buffer->get_base(), std::size_t(n));
  }

  std::unique_ptr<tarn_api> api;
  volume_handle live;
};
INSTANTIATE_ON_BOTH_BACKENDS(core_on_backends);

// Small reads may be served from a block read ahead; one past what the block holds must
// still see what the file holds by then.
TEST_P(core_on_backends, reads_see_what_the_file_holds_when_they_are_made) {
  const std::string first = pattern(200, 1), appended = pattern(300, 2);
  cluster->add_file("grows", first);
  const file_handle reader = api->open(live, "grows", O_RDONLY);
  const file_handle writer = api->open(live, "grows", O_RDWR);
  ASSERT_TRUE(reader && writer);
  EXPECT_EQ(read_text(reader, 128, 0), first.substr(0, 128));
  ASSERT_EQ(write_text(writer, appended, 200), 300);
  ASSERT_EQ(api->fsync(writer), success);
  EXPECT_EQ(read_text(reader, 128, 128), (first + appended).substr(128, 128));
  EXPECT_EQ(read_text(reader, 4096, 0), first + appended);
  EXPECT_EQ(read_text(reader, 128, 500), "") << "the end of the file reads as nothing";
  EXPECT_EQ(api->close(writer), success);
  EXPECT_EQ(api->close(reader), success);
}

// Local storage copies between files itself, from any offset to the end of the source;
// GlusterFS cannot, and neither can local storage while a test fault is set, which is for
// the reads and writes that take over.
TEST_P(core_on_backends, copies_inside_the_storage_where_it_can) {
  const std::string data = pattern(100000, 3);
  cluster->add_file("source", data);
  const file_handle from = api->open(live, "source", O_RDONLY);
  const file_handle to = api->open(live, "target", O_RDWR | O_CREAT | O_EXCL);
  ASSERT_TRUE(from && to);
  const long copied = api->copy_range(from, 1000, to, 0, 200000);
  if (GetParam() == backend::glusterfs) {
    EXPECT_EQ(copied, -1);
    EXPECT_EQ(errno, ENOTSUP);
  } else {
    EXPECT_EQ(copied, 99000);
    EXPECT_EQ(api->copy_range(from, 100000, to, 99000, 10), 0) << "the end of the source";
    core_testing::inject_fault({core_testing::operation::rename, "", "", EIO});
    EXPECT_EQ(api->copy_range(from, 0, to, 0, 10), -1);
    EXPECT_EQ(errno, ENOTSUP);
    core_testing::clear_faults();
  }
  EXPECT_EQ(api->close(to), success);
  EXPECT_EQ(read_bytes(cluster->live("target")), copied > 0 ? data.substr(1000) : "");
}

// A copy is made as a new file and renamed over its target in the same directory; other
// renames move between directories.
TEST_P(core_on_backends, a_new_file_is_renamed_within_and_between_directories) {
  cluster->add_file("d/kept", "earlier");
  cluster->add_file("e/other", "");
  const file_handle made = api->open(live, "d/.new", O_RDWR | O_CREAT | O_EXCL);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->get_file_size(), 0u);
  ASSERT_EQ(write_text(made, "later", 0), 5);
  struct stat record;
  EXPECT_EQ(api->fstat(made, &record), success);
  EXPECT_EQ(record.st_size, 5);
  EXPECT_EQ(api->close(made), success);
  EXPECT_EQ(api->rename(live, "d/.new", "d/kept"), success);
  EXPECT_EQ(read_bytes(cluster->live("d/kept")), "later");
  EXPECT_FALSE(exists(cluster->live("d/.new")));
  EXPECT_EQ(api->rename(live, "/d/kept", "/e/moved"), success);
  EXPECT_EQ(read_bytes(cluster->live("e/moved")), "later");
  EXPECT_NE(api->rename(live, "e/moved", "/"), success);
  EXPECT_NE(api->rename(live, "e/moved", "missing/moved"), success);
  EXPECT_EQ(read_bytes(cluster->live("e/moved")), "later");
}

TEST_P(core_on_backends, handles_do_what_their_open_flags_allow) {
  cluster->add_file("f", "0123456789");
  char value[] = "marked";
  iovec attribute{value, 6};

  const file_handle reader = api->open(live, "f", O_RDONLY);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->get_file_size(), 10u);
  EXPECT_EQ(write_text(reader, "x", 0), -1) << "a read-only handle writes nothing";
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(api->fsetxattr(reader, "trusted.r", &attribute, 0), success) << "as fsetxattr(2) allows";
  EXPECT_EQ(api->close(reader), success);
  const file_handle made_for_reading = api->open(live, "new", O_RDONLY | O_CREAT);
  ASSERT_TRUE(made_for_reading);
  EXPECT_EQ(write_text(made_for_reading, pattern(32768), 0), -1) << "refused at once, not at close";
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(api->close(made_for_reading), success);

  const file_handle changer = api->open(live, "f", O_RDWR);
  ASSERT_TRUE(changer);
  EXPECT_EQ(api->fsetxattr(changer, "trusted.w", &attribute, 0), success);
  EXPECT_EQ(write_text(changer, "AB", 8), 2);
  EXPECT_EQ(api->ftruncate(changer, 9), success);
  struct stat record;
  EXPECT_EQ(api->fstat(changer, &record), success);
  EXPECT_EQ(record.st_size, 9);
  EXPECT_EQ(api->fsync(changer), success);
  EXPECT_EQ(api->close(changer), success);
  EXPECT_EQ(api->close(changer), std::error_code(EBADF, std::generic_category())) << "closed once";

  EXPECT_EQ(read_bytes(cluster->live("f")), "01234567A");
  EXPECT_EQ(get_xattr(cluster->live("f"), "trusted.r"), "marked");
  EXPECT_EQ(get_xattr(cluster->live("f"), "trusted.w"), "marked");
  errno = 0;
  EXPECT_FALSE(api->open(live, "missing", O_RDWR));
  EXPECT_EQ(errno, ENOENT);
}

// O_CREAT makes a new name and opens an existing file as it is, also in a directory that
// another client removed and made again since the last file was created there.
TEST_P(core_on_backends, creating_a_file_finds_what_is_there_now) {
  ASSERT_EQ(api->mkdir(live, "d", 0777), success);
  const file_handle made = api->open(live, "d/f", O_RDWR | O_CREAT);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->get_file_size(), 0u);
  EXPECT_EQ(write_text(made, "kept", 0), 4);
  EXPECT_EQ(api->close(made), success);
  const file_handle opened = api->open(live, "d/f", O_RDWR | O_CREAT);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->get_file_size(), 4u);
  EXPECT_EQ(api->close(opened), success);
  errno = 0;
  EXPECT_FALSE(api->open(live, "d/f", O_RDWR | O_CREAT | O_EXCL));
  EXPECT_EQ(errno, EEXIST);

  std::filesystem::remove_all(cluster->live("d"));
  std::filesystem::create_directory(cluster->live("d"));
  const file_handle remade = api->open(live, "d/g", O_RDWR | O_CREAT);
  ASSERT_TRUE(remade) << std::strerror(errno);
  EXPECT_EQ(write_text(remade, "here", 0), 4);
  EXPECT_EQ(api->close(remade), success);
  EXPECT_EQ(read_bytes(cluster->live("d/g")), "here");

  std::filesystem::remove_all(cluster->live("d"));
  errno = 0;
  EXPECT_FALSE(api->open(live, "d/h", O_RDWR | O_CREAT));
  EXPECT_EQ(errno, ENOENT);
}

// Writes may be gathered and written out later; whatever the handle does
// next and wherever the writes go, the file ends up as if each had been made at once.
TEST_P(core_on_backends, gathered_writes_land_in_order) {
  const unsigned long chunk = 32768;
  const std::string a = pattern(chunk, 1), b = pattern(chunk, 2), c = pattern(chunk, 3),
                    d = pattern(100, 4), e = pattern(chunk, 5);
  const file_handle file = api->open(live, "w", O_RDWR | O_CREAT);
  ASSERT_TRUE(file);
  EXPECT_EQ(write_text(file, a, 0), long(chunk));
  EXPECT_EQ(write_text(file, b, chunk), long(chunk));
  EXPECT_EQ(write_text(file, c, 3 * chunk), long(chunk)) << "past a hole";
  EXPECT_EQ(write_text(file, d, 2 * chunk), 100) << "into the hole";
  EXPECT_EQ(read_text(file, 100, 2 * chunk), d) << "the handle reads its own writes";
  EXPECT_EQ(write_text(file, e, 4 * chunk), long(chunk));
  struct stat record;
  ASSERT_EQ(api->fstat(file, &record), success);
  EXPECT_EQ(record.st_size, long(5 * chunk)) << "and stats them";
  EXPECT_EQ(write_text(file, a, 5 * chunk), long(chunk));
  EXPECT_EQ(api->ftruncate(file, 5 * chunk + 10), success) << "a cut comes after the writes before it";
  EXPECT_EQ(write_text(file, b, 0), long(chunk)) << "over what was written";
  EXPECT_EQ(api->close(file), success);
  EXPECT_EQ(read_bytes(cluster->live("w")),
            b + b + d + std::string(chunk - 100, '\0') + c + e + a.substr(0, 10));

  {
    const file_handle dropped = api->open(live, "dropped", O_RDWR | O_CREAT);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(write_text(dropped, c, 0), long(chunk));
  }
  EXPECT_EQ(read_bytes(cluster->live("dropped")), c) << "a handle dropped unclosed writes out what it held";
}

// More threads than call gfapi themselves: the rest go through the core library's helpers.
TEST_P(core_on_backends, forty_threads_share_one_connection) {
  const std::string content = pattern(100000);
  cluster->add_file("shared", content);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 40; ++t) {
    threads.emplace_back([&, t] {
      const std::string mine = "t" + std::to_string(t);
      for (int round = 0; round < 20; ++round) {
        if (api->mkdir(live, mine, 0777) != success && round == 0) ++failures;
        const file_handle out = api->open(live, mine + "/f", O_RDWR | O_CREAT);
        const file_handle in = api->open(live, "shared", O_RDONLY);
        const auto buffer = api->alloc_io_buffer(32768);
        if (!out || !in || !buffer) { ++failures; continue; }
        for (unsigned long offset = 0; offset < content.size(); offset += 32768) {
          const long n = api->read(in, buffer, 32768, offset, 0);
          if (n <= 0 || api->write(out, buffer, std::size_t(n), offset, 0) != n) ++failures;
        }
        iovec probe{nullptr, 0};
        api->getxattr(live, "shared", "user.none", &probe);
        if (api->fsync(out) != success || api->close(out) != success || api->close(in) != success) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  for (int t = 0; t < 40; ++t) EXPECT_EQ(read_bytes(cluster->live("t" + std::to_string(t) + "/f")), content) << t;
}

TEST(command_execution, runs_programs_without_a_shell) {
  std::list<std::string> output;
  std::string errors;
  EXPECT_EQ(tarn_utils::execute_command("echo  one   two", output, errors, 100), 0);
  EXPECT_EQ(output, std::list<std::string>{"one two"});

  output.clear();
  const std::string marker = "/var/tmp/tarn-injected-" + std::to_string(::getpid());
  EXPECT_EQ(tarn_utils::execute_command("echo a;touch " + marker + " $(id) `id` |cat", output, errors, 0), 0);
  EXPECT_FALSE(exists(marker));
  EXPECT_EQ(output, std::list<std::string>{"a;touch " + marker + " $(id) `id` |cat"});

  output.clear();
  EXPECT_EQ(tarn_utils::execute_command("sh -c exit${IFS}3", output, errors, 0), 3);
  EXPECT_EQ(tarn_utils::execute_command("ls /nonexistent-path", output, errors, 0), 2);
  EXPECT_NE(errors.find("nonexistent-path"), std::string::npos);
  EXPECT_EQ(tarn_utils::execute_command("no-such-program-anywhere x", output, errors, 0), 127);
  EXPECT_EQ(tarn_utils::execute_command("", output, errors, 0), 127);
  EXPECT_EQ(tarn_utils::execute_command("sh -c kill${IFS}-9${IFS}$$", output, errors, 0), 128 + 9);

  output.clear();
  EXPECT_EQ(tarn_utils::execute_command("seq 1000", output, errors, 10), 0);
  EXPECT_EQ(output.size(), 10u) << "output kept to the asked number of lines";
  EXPECT_EQ(output.front(), "1");
}

}  // namespace
}  // namespace tarn::test
