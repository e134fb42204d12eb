#include "config/tarn_config.h"

#include <locale>

#include <boost/property_tree/json_parser.hpp>

namespace tarn::tarn_config {

using boost::property_tree::ptree;

tarn_node_config::tarn_node_config(ptree node)
    : weight(node.get<std::int32_t>(ptree::path_type("weight", '.'))),
      ip(node.get<std::string>(ptree::path_type("ip", '.'))),
      hostname(node.get<std::string>(ptree::path_type("hostname", '.'))),
      serialno(node.get<std::string>(ptree::path_type("serialno", '.'))),
      uuid(node.get<std::string>(ptree::path_type("uuid", '.'))) {}

tarn_config::tarn_config(std::string path) {
  ptree tree;
  boost::property_tree::read_json(path, tree, std::locale());

  transientdirname = get_optional_string(tree, "transientdirname", ".tarn");
  snapdirname = get_optional_string(tree, "snapdirname", ".snaps");
  scannersessionname = get_optional_string(tree, "scannersessionname", "tarnscan");
  glustersnapname = get_optional_string(tree, "glustersnapname", "livesnap");
  tarnworkingdirname = get_optional_string(tree, "tarnworkingdirname", "working");
  scannerworkingdirname = get_optional_string(tree, "scannerworkingdirname", "scanner");
  stubberworkingdirname = get_optional_string(tree, "stubberworkingdirname", "stubber");
  containerworkingdirname = get_optional_string(tree, "containerworkingdirname", "container");
  livefsvolname = get_string(tree, "livefsvolname");
  backupvolname = get_string(tree, "backupvolname");

  for (const auto& child : tree.get_child(ptree::path_type("nodes", '.')))
    nodes.emplace_back(child.second);
}

std::string tarn_config::get_string(ptree tree, std::string key) {
  return tree.get<std::string>(ptree::path_type(key, '.'));
}

std::string tarn_config::get_optional_string(ptree tree, std::string key, std::string fallback) {
  return tree.get<std::string>(ptree::path_type(key, '.'), fallback);
}

}  // namespace tarn::tarn_config
