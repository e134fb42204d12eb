#pragma once

// How stubbing and deletion name things: the collect prefix of a collect file, its backup
// directory on the backup volume and the target path of each scan file.

#include <string>
#include <system_error>

#include "core/tarn_api.h"

namespace tarn::stubber::naming {

// The text after the last "/" (the whole path when it has none).
std::string base_name(const std::string& path);

// The first non-empty "-"-separated token of the base name; empty when there is none.
std::string collect_prefix(const std::string& collect_file);

// collect prefix "/" snap time.
std::string backup_directory(const std::string& collect_prefix, const std::string& snap_time);

// backup directory "/" the last component of the scan file's path.
std::string target_path(const std::string& backup_directory, const std::string& scan_file);

// Where a copy is written before it takes its target's name: ".<name>.tarn-partial" beside
// the target. GlusterFS's distribute layer places a name of the form ".<name>.<suffix>" on
// the brick of <name>, so the rename moves no data and leaves no link file. A name too long
// for that form keeps its first 200 bytes and gets a hash of the whole name as suffix.
std::string partial_copy_path(const std::string& target_path);

const char* const default_snap_time = "00000000";

// The "user.snap_time" of the collect prefix on the live volume, up to its first NUL, or
// the default when it cannot be read; ENOMEM when no buffer could be had.
std::error_code read_snap_time(tarn_api* live_api, const volume_handle& live_volume,
                               const std::string& collect_prefix, std::string& snap_time);

}  // namespace tarn::stubber::naming
