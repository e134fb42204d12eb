// The cluster configuration reader: defaults, required keys, node objects and the
// exceptions that leave it.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include <boost/property_tree/json_parser.hpp>

#include "config/tarn_config.h"

namespace tarn::test {
namespace {

using tarn_config::tarn_config;
namespace pt = boost::property_tree;

class config_file : public ::testing::Test {
 protected:
  std::string write(const std::string& json) {
    std::ofstream(path) << json;
    return path;
  }
  void TearDown() override { std::remove(path.c_str()); }
  const std::string path = "/var/tmp/tarn-config-test-" + std::to_string(::getpid()) + ".json";
};

const std::string required = R"("livefsvolname": "live", "backupvolname": "backup")";

TEST_F(config_file, absent_optional_keys_take_their_defaults) {
  const tarn_config config(write("{" + required + R"(, "nodes": []})"));
  EXPECT_EQ(config.transientdirname, ".tarn");
  EXPECT_EQ(config.snapdirname, ".snaps");
  EXPECT_EQ(config.scannersessionname, "tarnscan");
  EXPECT_EQ(config.get_glustersnap_name(), "livesnap");
  EXPECT_EQ(config.tarnworkingdirname, "working");
  EXPECT_EQ(config.scannerworkingdirname, "scanner");
  EXPECT_EQ(config.stubberworkingdirname, "stubber");
  EXPECT_EQ(config.containerworkingdirname, "container");
  EXPECT_EQ(config.livefsvolname, "live");
  EXPECT_EQ(config.backupvolname, "backup");
  EXPECT_TRUE(config.nodes.empty());
}

TEST_F(config_file, present_values_are_used_as_they_are_even_empty) {
  const tarn_config config(write("{" + required + R"(, "glustersnapname": "", "snapdirname": " x ",
      "unknown": {"a": 1}, "nodes": []})"));
  EXPECT_EQ(config.get_glustersnap_name(), "");
  EXPECT_EQ(config.snapdirname, " x ");
}

TEST_F(config_file, nodes_are_read_in_file_order) {
  const tarn_config config(write("{" + required + R"(, "nodes": [
      {"weight": 3, "ip": "10.0.0.1", "hostname": "a", "serialno": "s1", "uuid": "u1"},
      {"weight": "7", "ip": "10.0.0.2", "hostname": "b", "serialno": "s2", "uuid": "u2"}]})"));
  ASSERT_EQ(config.nodes.size(), 2u);
  EXPECT_EQ(config.nodes[0].weight, 3);
  EXPECT_EQ(config.nodes[0].ip, "10.0.0.1");
  EXPECT_EQ(config.nodes[0].uuid, "u1");
  EXPECT_EQ(config.nodes[1].weight, 7);
  EXPECT_EQ(config.nodes[1].hostname, "b");
  EXPECT_EQ(config.nodes[1].serialno, "s2");
}

struct broken_case {
  const char* name;
  std::string json;  // empty: no file at all
  std::function<void(const std::string&)> expect_throw;
};

template <class E>
std::function<void(const std::string&)> throws() {
  return [](const std::string& path) { EXPECT_THROW(tarn_config{path}, E); };
}

const std::string node = R"("ip": "i", "hostname": "h", "serialno": "s", "uuid": "u")";

TEST_F(config_file, broken_files_throw_the_readers_exceptions) {
  const broken_case cases[] = {
      {"no file", "", throws<pt::json_parser_error>()},
      {"not json", "{ livefsvolname", throws<pt::json_parser_error>()},
      {"no livefsvolname", R"({"backupvolname": "b", "nodes": []})", throws<pt::ptree_bad_path>()},
      {"no backupvolname", R"({"livefsvolname": "l", "nodes": []})", throws<pt::ptree_bad_path>()},
      {"no nodes", "{" + required + "}", throws<pt::ptree_bad_path>()},
      {"node without uuid", "{" + required + R"(, "nodes": [{"weight": 1, "ip": "i", "hostname": "h", "serialno": "s"}]})",
       throws<pt::ptree_bad_path>()},
      {"weight a word", "{" + required + R"(, "nodes": [{"weight": "heavy", )" + node + "}]}",
       throws<pt::ptree_bad_data>()},
      {"weight 2.5", "{" + required + R"(, "nodes": [{"weight": 2.5, )" + node + "}]}",
       throws<pt::ptree_bad_data>()},
  };
  for (const broken_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path.c_str());
    c.expect_throw(c.json.empty() ? path : write(c.json));
  }
}

}  // namespace
}  // namespace tarn::test
