#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

namespace tarn::tarn_config {

// One node of the cluster, as the cluster configuration file describes it.
class tarn_node_config {
 public:
  // Reads "weight" (an integer, as a JSON number or a decimal string), "ip", "hostname",
  // "serialno" and "uuid"; each is required.
  explicit tarn_node_config(boost::property_tree::ptree node);
  tarn_node_config(const tarn_node_config&) = default;
  ~tarn_node_config() = default;

  std::int32_t weight;
  std::string ip;
  std::string hostname;
  std::string serialno;
  std::string uuid;
};

// The cluster configuration file, read in one go. Nothing here catches an error: a file
// that cannot be read or parsed throws the JSON reader's error, a missing required key
// boost::property_tree::ptree_bad_path, a weight that is no integer ptree_bad_data.
class tarn_config {
 public:
  explicit tarn_config(std::string path);
  ~tarn_config() = default;

  std::string get_glustersnap_name() const { return glustersnapname; }

  static std::string get_string(boost::property_tree::ptree tree, std::string key);
  // An absent key gives `fallback`; a present one is used as it is, even when empty.
  static std::string get_optional_string(boost::property_tree::ptree tree, std::string key,
                                         std::string fallback);

  std::string transientdirname;
  std::string snapdirname;
  std::string scannersessionname;
  std::string glustersnapname;
  std::string livefsvolname;
  std::string backupvolname;
  std::string tarnworkingdirname;
  std::string stubberworkingdirname;
  std::string scannerworkingdirname;
  std::string containerworkingdirname;
  std::vector<tarn_node_config> nodes;
};

}  // namespace tarn::tarn_config
