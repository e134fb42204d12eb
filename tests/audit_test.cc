// verify: a sound backup has no problem; each kind of damage is found as what it is.

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "stubber/audit.h"
#include "tests/support/stubber_fixture.h"

namespace tarn::test {
namespace {

namespace audit = stubber::audit;
using strings = std::vector<std::string>;

class auditing : public on_both_backends<stubber_test> {
 protected:
  void SetUp() override {
    stubber_test::SetUp();
    if (IsSkipped()) return;
    std::string list;
    for (const char* name : {"/d/a", "/d/b", "/d/c", "/d/d", "/d/e"}) {
      cluster->add_file(name, pattern(70000, name[3]));
      list += std::string(name) + "\n";
    }
    cluster->add_list("lists/p-1", list);
    cluster->add_list("lists/c", "lists/p-1\n");
    ASSERT_EQ(make_stubber()->init("lists/c", stubber::stubber::stub), 0) << ::testing::PrintToString(messages());
  }
  // "kind live" for each problem that verify finds.
  strings problems(bool checksum) {
    audit::report report;
    auto s = make_stubber();
    EXPECT_TRUE(audit::verify_container(*s, "lists/c", audit::options{checksum}, report));
    EXPECT_EQ(report.files, 5u);
    strings found;
    for (const auto& p : report.problems) found.push_back(p.kind + " " + p.live_path);
    EXPECT_EQ(report.sound, 5 - found.size());
    return found;
  }
};
INSTANTIATE_ON_BOTH_BACKENDS(auditing);

TEST_P(auditing, a_sound_backup_has_no_problem) {
  EXPECT_EQ(problems(true), strings{});
}

TEST_P(auditing, each_damage_is_found) {
  ::unlink(cluster->backup("p/00000000/a").c_str());
  ::truncate(cluster->backup("p/00000000/b").c_str(), 1000);
  std::string flipped = read_bytes(cluster->backup("p/00000000/c"));
  flipped[40000] ^= 1;
  write_bytes(cluster->backup("p/00000000/c"), flipped);
  set_xattr(cluster->backup("p/00000000/d"), "trusted.tarn.source", "/elsewhere/d");
  struct utimbuf later{2000000000, 2000000000};
  ::utime(cluster->live("/d/e").c_str(), &later);

  EXPECT_EQ(problems(false), (strings{"missing copy /d/a", "wrong size /d/b", "wrong source /d/d",
                                      "changed since stubbed /d/e"}));
  EXPECT_EQ(problems(true), (strings{"missing copy /d/a", "wrong size /d/b", "wrong content /d/c",
                                     "wrong source /d/d", "changed since stubbed /d/e"}));
}

}  // namespace
}  // namespace tarn::test
