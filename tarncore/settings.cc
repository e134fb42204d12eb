#include "tarncore/settings.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tarn::settings {
namespace {

const char* const default_file = "/etc/tarn/tarncore.conf";

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

void complain(const std::string& key, const std::string& value) {
  std::fprintf(stderr, "tarncore: ignoring setting %s = \"%s\"\n", key.c_str(), value.c_str());
}

// A whole decimal number from `low` to `high` into `result`; false leaves it as it was.
bool parse_within(const std::string& value, long low, long high, int& result) {
  char* end = nullptr;
  const long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || number < low || number > high) return false;
  result = int(number);
  return true;
}

void apply(core_settings& s, const std::string& key, const std::string& value) {
  if (key == "backend") {
    if (value == "local") s.backend = backend_kind::local;
    else if (value == "glusterfs") s.backend = backend_kind::glusterfs;
    else complain(key, value);
  } else if (key == "local_root") {
    s.local_root = value;
  } else if (key == "local_snapshots") {
    s.local_snapshots = value;
  } else if (key == "gluster_server") {
    s.gluster_server = value;
  } else if (key == "gluster_port") {
    if (!parse_within(value, 1, 65535, s.gluster_port)) complain(key, value);
  } else if (key == "glusterd_dir") {
    s.glusterd_dir = value;
  } else if (key == "gluster_log") {
    s.gluster_log = value;
  } else if (key == "sync_copies") {
    if (value == "on" || value == "off") s.sync_copies = value == "on";
    else complain(key, value);
  } else if (key == "copy_window") {
    if (!parse_within(value, 1, max_copy_window, s.copy_window)) complain(key, value);
  } else if (key == "log") {
    if (value == "stderr" || value == "syslog" || value == "both" || value == "none") {
      s.log_to_stderr = value == "stderr" || value == "both";
      s.log_to_syslog = value == "syslog" || value == "both";
    } else {
      complain(key, value);
    }
  } else {
    complain(key, value);
  }
}

void read_file(core_settings& s, const std::string& path, bool must_exist) {
  std::ifstream in(path);
  if (!in) {
    if (must_exist) std::fprintf(stderr, "tarncore: cannot read settings file %s\n", path.c_str());
    return;
  }
  std::string line;
  while (std::getline(in, line)) {
    line = trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      complain(line, "");
      continue;
    }
    apply(s, trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)));
  }
}

void read_environment(core_settings& s) {
  static const struct { const char* variable; const char* key; } names[] = {
      {"TARNCORE_BACKEND", "backend"},
      {"TARNCORE_LOCAL_ROOT", "local_root"},
      {"TARNCORE_LOCAL_SNAPSHOTS", "local_snapshots"},
      {"TARNCORE_GLUSTER_SERVER", "gluster_server"},
      {"TARNCORE_GLUSTER_PORT", "gluster_port"},
      {"TARNCORE_GLUSTERD_DIR", "glusterd_dir"},
      {"TARNCORE_GLUSTER_LOG", "gluster_log"},
      {"TARNCORE_LOG", "log"},
      {"TARNCORE_SYNC_COPIES", "sync_copies"},
      {"TARNCORE_COPY_WINDOW", "copy_window"},
  };
  for (const auto& name : names)
    if (const char* value = std::getenv(name.variable)) apply(s, name.key, value);
}

}  // namespace

core_settings read() {
  core_settings s;
  const char* file = std::getenv("TARNCORE_CONFIG");
  read_file(s, file ? file : default_file, file != nullptr);
  read_environment(s);
  if (s.local_snapshots.empty()) s.local_snapshots = s.local_root + "/.snaps";
  return s;
}

}  // namespace tarn::settings
