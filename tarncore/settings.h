#pragma once

#include <string>

namespace tarn::settings {

enum class backend_kind { local, glusterfs };

constexpr int max_copy_window = 1024;

// The core library's own settings: read from /etc/tarn/tarncore.conf (or the file named
// by TARNCORE_CONFIG), each overridden by its environment variable.
struct core_settings {
  backend_kind backend = backend_kind::local;
  std::string local_root = "/var/lib/tarn/volumes";  // local volume V is <local_root>/V
  std::string local_snapshots;                       // snapshot S is <local_snapshots>/S
  std::string gluster_server = "localhost";
  int gluster_port = 24007;
  std::string glusterd_dir = "/var/lib/glusterd";  // where snapshot volfiles are looked up
  std::string gluster_log = "/dev/null";
  bool sync_copies = true;  // fsync puts data on stable storage; off: it does nothing
  int copy_window = 0;      // files a stub worker copies as one batch, 1 to max_copy_window;
                            // 0 leaves it to the backend (tarn_api::copy_window)
  bool log_to_stderr = true;
  bool log_to_syslog = true;
};

// Reads the settings afresh. Unknown keys and malformed values are reported on stderr and
// ignored, so that a typo never silently picks another backend.
core_settings read();

}  // namespace tarn::settings
