#include "stubber/naming.h"

#include <boost/filesystem/path.hpp>
#include <boost/tokenizer.hpp>

namespace tarn::stubber::naming {

std::string base_name(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string collect_prefix(const std::string& collect_file) {
  const std::string name = base_name(collect_file);
  const boost::char_separator<char> dash("-");
  const boost::tokenizer<boost::char_separator<char>> tokens(name, dash);
  return tokens.begin() == tokens.end() ? std::string() : *tokens.begin();
}

std::string backup_directory(const std::string& collect_prefix, const std::string& snap_time) {
  return collect_prefix + "/" + snap_time;
}

std::string target_path(const std::string& backup_directory, const std::string& scan_file) {
  return backup_directory + "/" + boost::filesystem::path(scan_file).filename().string();
}

}  // namespace tarn::stubber::naming
