// Hostile input: each is refused cleanly or handled exactly, nothing outside the volumes
// is touched, nothing is lost, and nothing in a name is ever executed.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include <gmock/gmock.h>

#include "tests/support/stubber_fixture.h"

namespace tarn::test {
namespace {

using strings = std::vector<std::string>;

class hostile : public stubber_test {
 protected:
  void SetUp() override {
    stubber_test::SetUp();
    if (IsSkipped()) return;
    write_bytes(outside, "outside the volumes");
  }
  void TearDown() override {
    ::unlink(outside.c_str());
    stubber_test::TearDown();
  }
  void expect_outside_untouched() {
    EXPECT_EQ(read_bytes(outside), "outside the volumes");
    EXPECT_FALSE(get_xattr(outside, "trusted.riridized.uuid"));
  }
  const std::string outside = "/var/tmp/tarn-hostile-outside-" + std::to_string(::getpid());
};

TEST_F(hostile, paths_that_climb_out_of_a_volume_are_refused) {
  const std::string up = "../../../../../../.." + outside;
  cluster->add_list("lists/p-1", up + "\n");
  cluster->add_list("lists/container", "lists/p-1\n" + up + "\n");
  auto s = make_stubber();
  EXPECT_EQ(s->init("lists/container", stubber::stubber::stub), -1);
  expect_outside_untouched();
  EXPECT_THAT(messages(), ::testing::Contains("stubber::begin_stubbing(): Failed to open scan file " + up +
                                              "on volume livesnap"));
  EXPECT_THAT(messages(), ::testing::Contains("stubber::create_set_of_files(): Failed to open file " + up +
                                              "on volume live"));

  cluster->add_list("lists/container", up + "\n");
  make_stubber()->cleanup_container_files("lists/container");
  expect_outside_untouched();

  cluster->add_list("lists/..-1", "/d/a\n");  // collect prefix ".."
  cluster->add_file("/d/a", "a");
  cluster->add_list("lists/container", "lists/..-1\n");
  EXPECT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), -1);
  EXPECT_FALSE(exists(cluster->backup("../00000000"))) << "no directory beside the backup volume";
}

TEST_F(hostile, symbolic_links_out_of_a_volume_are_refused) {
  for (const std::string& volume : {cluster->live(), cluster->snapshot()}) {
    ::mkdir((volume + "/d").c_str(), 0755);
    ASSERT_EQ(::symlink(outside.c_str(), (volume + "/d/link").c_str()), 0);
    ASSERT_EQ(::symlink("/var/tmp", (volume + "/dirlink").c_str()), 0);
  }
  const std::string via_directory = "/dirlink/" + outside.substr(outside.rfind('/') + 1);
  cluster->add_list("lists/p-1", "/d/link\n");
  cluster->add_list("lists/q-1", via_directory + "\n");
  cluster->add_list("lists/container", "lists/p-1\nlists/q-1\n");
  EXPECT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), -1);
  expect_outside_untouched();
  EXPECT_FALSE(exists(cluster->backup("p/00000000/link")));
}

TEST_F(hostile, odd_list_files_are_read_exactly) {
  const struct {
    const char* name;
    std::string bytes;
    std::size_t entries;
  } cases[] = {
      {"only NUL bytes", std::string(1 << 20, '\0'), 0},
      {"a million empty lines", std::string(1000000, '\n'), 0},
      {"one entry of 1 MiB", std::string(1 << 20, 'x') + "\n", 1},
  };
  auto s = make_stubber();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cluster->add_list("list", c.bytes);
    strings list;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(s->create_set_of_files("live", s->livefs_volume, s->livefs_api, list, "list"), success);
    EXPECT_EQ(list.size(), c.entries);
    if (c.entries) {
      EXPECT_EQ(list[0].size(), std::size_t(1 << 20));
    }
    std::printf("%s: read in %.2f s\n", c.name,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  cluster->add_list("lists/p-1", std::string(1 << 20, 'x') + "\n");
  cluster->add_list("lists/container", "lists/p-1\n");
  EXPECT_EQ(s->init("lists/container", stubber::stubber::stub), -1) << "a 1 MiB path is no file";
}

TEST_F(hostile, oversized_attribute_values_are_refused) {
  cluster->add_file("/d/a", "a");
  ::mkdir(cluster->live("p").c_str(), 0755);
  set_xattr(cluster->live("p"), "user.snap_time", std::string(3000, '7'));
  cluster->add_list("lists/p-1", "/d/a\n");
  cluster->add_list("lists/container", "lists/p-1\n");
  EXPECT_EQ(make_stubber()->init("lists/container", stubber::stubber::stub), -1);
  EXPECT_EQ(messages().at(0), "stubber::create_directory: Unable to create directory path p/" +
                                  std::string(3000, '7') + " in volume backup");
  EXPECT_FALSE(get_xattr(cluster->live("/d/a"), "trusted.farstow.mtime"));
}

TEST_F(hostile, names_are_never_executed) {
  // A volume name holds no "/": its commands would touch the marker in the working directory.
  const std::string marker_name = "tarn-pwned-" + std::to_string(::getpid());
  const std::string marker = "/var/tmp/" + marker_name;
  ASSERT_EQ(::chdir("/var/tmp"), 0);
  const std::string volume = "live$(touch " + marker_name + ")`touch " + marker_name + "`;touch " + marker_name;
  ASSERT_EQ(::symlink(cluster->live().c_str(), (cluster->live() + "/../" + volume).c_str()), 0);
  const std::string scan = "/d/$(touch " + marker_name + ") ; touch " + marker_name + " | `id`";
  cluster->add_file(scan, "data");
  cluster->add_list("lists/p-1", scan + "\n");
  cluster->add_list("lists/container", "lists/p-1\n");

  write_bytes("/tmp/hostile-bin/farstow",
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > /tmp/hostile-bin/argv\n"
              "for a in \"$@\"; do case $a in /tmp/farstow/*) cp \"$a\" /tmp/hostile-bin/list;; esac; done\n");
  ::chmod("/tmp/hostile-bin/farstow", 0755);
  ::setenv("PATH", ("/tmp/hostile-bin:" + std::string(std::getenv("PATH"))).c_str(), 1);

  stubber::stubber stub(volume, cluster->backup_name);
  ASSERT_EQ(stub.init("lists/container", stubber::stubber::stub), 0);
  EXPECT_EQ(read_bytes(cluster->backup("p/00000000/" + scan.substr(3))), "data");
  stubber::stubber archive(volume, cluster->backup_name);
  ASSERT_EQ(archive.init("lists/container", stubber::stubber::archive), 0);
  // The command line is split at its blanks, and at nothing else.
  std::string argv = "stub glusterfs " + volume + " glusterfs backup /tmp/farstow/p-1 /tmp/failed-files\n";
  std::replace(argv.begin(), argv.end(), ' ', '\n');
  EXPECT_EQ(read_bytes("/tmp/hostile-bin/argv"), argv);
  EXPECT_EQ(read_bytes("/tmp/hostile-bin/list"), scan + "\n\n");
  EXPECT_FALSE(exists(marker));
  ::unlink((cluster->live() + "/../" + volume).c_str());
}

}  // namespace
}  // namespace tarn::test
