#include "stubber/naming.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

namespace {

constexpr std::size_t name_max = 255;
const char* const partial_suffix = "tarn-partial";

// FNV-1a: the same name gives the same suffix in every build, so that a later run finds
// what a killed one left.
std::string name_hash(const std::string& name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace

std::error_code read_snap_time(tarn_api* live_api, const volume_handle& live_volume,
                               const std::string& collect_prefix, std::string& snap_time) {
  const char* const attribute = "user.snap_time";
  snap_time = default_snap_time;
  iovec probe{nullptr, 0};
  const long length = live_api->getxattr(live_volume, collect_prefix, attribute, &probe);
  if (length == -1) return success;
  const tarn_mem::buffer_handle buffer = live_api->alloc_io_buffer(length + 1);
  if (!buffer) return std::error_code(ENOMEM, std::generic_category());
  std::memset(buffer->get_base(), 0, std::size_t(length) + 1);
  iovec value{buffer->get_base(), std::size_t(length) + 1};
  if (live_api->getxattr(live_volume, collect_prefix, attribute, &value) == -1) return success;
  snap_time.assign(buffer->get_base(), strnlen(buffer->get_base(), std::size_t(length) + 1));
  return success;
}

std::string partial_copy_path(const std::string& target_path) {
  const auto slash = target_path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : target_path.substr(0, slash + 1);
  const std::string name = base_name(target_path);
  std::string partial = "." + name + "." + partial_suffix;
  if (partial.size() > name_max) partial = "." + name.substr(0, 200) + "." + name_hash(name);
  return directory + partial;
}

}  // namespace tarn::stubber::naming
