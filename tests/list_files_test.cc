// Reading list files: the byte format, appending, and the failures.

#include "tests/support/stubber_fixture.h"

namespace tarn::test {
namespace {

using strings = std::vector<std::string>;

class list_files : public stubber_test {
 protected:
  std::error_code read(strings& list, const std::string& path = "list") {
    return s->create_set_of_files("live", s->livefs_volume, s->livefs_api, list, path);
  }
  void SetUp() override {
    stubber_test::SetUp();
    if (!IsSkipped()) s = make_stubber();
  }
  std::unique_ptr<stubber::stubber> s;
};

TEST_F(list_files, entries_end_at_line_feed_or_nul_and_nothing_is_trimmed) {
  const std::string long_entry = pattern(300, 1);  // no LF or NUL among bytes 1..250
  std::string clean_long;
  for (char c : long_entry) clean_long += (c == '\n' || c == '\0') ? 'x' : c;
  const struct {
    std::string bytes;
    strings entries;
  } cases[] = {
      {"a\nb\n", {"a", "b"}},
      {"a\n\n\nb", {"a", "b"}},
      {"", {}},
      {std::string("\n\n\0\n", 4), {}},
      {clean_long + "\n", {clean_long}},
      {std::string(128, 'q'), {std::string(128, 'q')}},
      {std::string(256, 'r') + "\nz", {std::string(256, 'r'), "z"}},
      {std::string("a\0b\n", 4), {"a", "b"}},
      {"a\r\n", {"a\r"}},
      {" \n", {" "}},
      {"/x y/z\t\n", {"/x y/z\t"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    cluster->add_list("list", c.bytes);
    strings list;
    EXPECT_EQ(read(list), success);
    EXPECT_EQ(list, c.entries);
  }
  EXPECT_TRUE(messages().empty());
}

TEST_F(list_files, entries_are_appended_to_the_callers_list) {
  cluster->add_list("list", "a\nb\n");
  strings list{"kept"};
  EXPECT_EQ(read(list), success);
  EXPECT_EQ(read(list), success);
  EXPECT_EQ(list, (strings{"kept", "a", "b", "a", "b"}));
}

TEST_F(list_files, an_entry_starting_before_the_size_at_open_is_read_to_its_end) {
  cluster->add_list("list", "first\nsecond\n");
  core_testing::start_tracing();
  strings list;
  EXPECT_EQ(read(list), success);
  int reads = 0;
  for (const auto& call : core_testing::traced_calls()) reads += call.op == core_testing::operation::read;
  EXPECT_EQ(reads, 2) << "one 128-byte read per entry";
}

TEST_F(list_files, failures_leave_the_list_unchanged) {
  using core_testing::operation;
  cluster->add_list("list", std::string(200, 'a') + "\n" + std::string(200, 'b') + "\nc\n");
  const struct {
    const char* name;
    core_testing::fault fault;
    std::error_code result;
    std::string message;
  } cases[] = {
      {"missing file", {operation::open, "live", "list", ENOENT}, code(EFAULT),
       "stubber::create_set_of_files(): Failed to open file liston volume live"},
      {"stat fails", {operation::fstat, "live", "list", EACCES}, code(EACCES),
       "stubber::create_set_of_files(): Failed to stat file liston volume live"},
      {"read fails in the second entry", {operation::read, "live", "list", EIO, -1, 329}, code(EIO),
       "stubber::create_set_of_files(): Failed to read file liston volume live"},
      {"no buffer", {operation::alloc, "", "", ENOMEM, -1, 128}, code(ENOMEM),
       "stubber::create_set_of_files(): Failed to read file liston volume live"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    core_testing::start_capturing_messages();
    core_testing::inject_fault(c.fault);
    strings list{"kept"};
    EXPECT_EQ(read(list), c.result);
    EXPECT_EQ(list, strings{"kept"});
    EXPECT_EQ(messages(), strings{c.message});
    core_testing::clear_faults();
  }
}

TEST_F(list_files, a_failed_read_ends_the_entry_for_the_line_reader) {
  cluster->add_list("list", std::string(200, 'a') + "\n");
  core_testing::inject_fault({core_testing::operation::read, "live", "list", EIO, -1, 128});
  const file_handle file = s->livefs_api->open(s->livefs_volume, "list", 0);
  unsigned long length = 99;
  EXPECT_EQ(s->fileptr_getline(s->livefs_api, file, 0, length), std::string(128, 'a'));
  EXPECT_EQ(length, 128u);
}

}  // namespace
}  // namespace tarn::test
