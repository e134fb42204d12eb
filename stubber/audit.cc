#include "stubber/audit.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "stubber/naming.h"
#include "stubber/volume_reads.h"

namespace tarn::stubber::audit {

namespace {

const char* const copy_attribute = "trusted.riridized.uuid";
const char* const mtime_attribute = "trusted.farstow.mtime";
constexpr unsigned long compare_chunk = 256 * 1024;

// The file at `path` opened read-only with its stat record: 0, or an errno.
int open_file(tarn_api* api, const volume_handle& volume, const std::string& path,
              file_handle& file, struct stat& record) {
  file = api->open(volume, path, O_RDONLY);
  if (!file) return errno;
  std::memset(&record, 0, sizeof record);
  if (const std::error_code result = api->fstat(file, &record); result != success) return result.value();
  return 0;
}

class auditor {
 public:
  auditor(stubber& s, const options& o, report& r) : s(s), o(o), r(r) {}

  void check_collect_file(const std::string& collect_file) {
    std::vector<std::string> scan_list;
    std::string snap_time;
    if (naming::read_snap_time(s.livefs_api, s.livefs_volume, naming::collect_prefix(collect_file),
                               snap_time) != success ||
        s.create_set_of_files(s.livefs_volname, s.livefs_volume, s.livefs_api, scan_list,
                              collect_file) != success) {
      r.problems.push_back({kind::unreadable_list, collect_file, ""});
      return;
    }
    const std::string backup_directory =
        naming::backup_directory(naming::collect_prefix(collect_file), snap_time);
    for (const std::string& scan_file : scan_list) {
      ++r.files;
      const std::size_t before = r.problems.size();
      check_scan_file(scan_file, naming::target_path(backup_directory, scan_file));
      if (r.problems.size() == before) ++r.sound;
    }
  }

 private:
  void add(const char* what, const std::string& scan_file, const std::string& target_path) {
    r.problems.push_back({what, scan_file, target_path});
  }

  void check_scan_file(const std::string& scan_file, const std::string& target_path) {
    std::string mtime_mark, copy_mark, source;
    if (const int error = read_attribute(s.livefs_api, s.livefs_volume, scan_file, mtime_attribute, mtime_mark))
      return add(error == ENOENT ? kind::missing_live : error == ENODATA ? kind::not_stubbed : kind::unreadable,
                 scan_file, target_path);
    if (const int error = read_attribute(s.livefs_api, s.livefs_volume, scan_file, copy_attribute, copy_mark);
        error && error != ENODATA)
      return add(kind::unreadable, scan_file, target_path);
    if (copy_mark != target_path) return add(kind::wrong_mark, scan_file, target_path);
    if (const int error = read_attribute(s.backup_api, s.backup_volume, target_path,
                                         stubber::source_attribute, source);
        error && error != ENODATA)
      return add(error == ENOENT ? kind::missing_copy : kind::unreadable, scan_file, target_path);
    if (source != scan_file) return add(kind::wrong_source, scan_file, target_path);
    check_live_version(scan_file, target_path, mtime_mark);
    check_copy_bytes(scan_file, target_path);
  }

  // A live file written since it was stubbed holds data that its copy does not.
  void check_live_version(const std::string& scan_file, const std::string& target_path,
                          const std::string& mtime_mark) {
    file_handle live;
    struct stat record;
    const int error = open_file(s.livefs_api, s.livefs_volume, scan_file, live, record);
    if (live) s.livefs_api->close(live);
    if (error) return add(kind::unreadable, scan_file, target_path);
    if (std::to_string(record.st_mtime) != mtime_mark) add(kind::changed, scan_file, target_path);
  }

  void check_copy_bytes(const std::string& scan_file, const std::string& target_path) {
    file_handle snapshot, copy;
    struct stat snapshot_record, copy_record;
    const int snapshot_error =
        s.snap_ready ? open_file(s.snap_api, s.snap_volume, scan_file, snapshot, snapshot_record) : ENOENT;
    const int copy_error = open_file(s.backup_api, s.backup_volume, target_path, copy, copy_record);
    if (snapshot_error) {
      add(snapshot_error == ENOENT ? kind::no_snapshot : kind::unreadable, scan_file, target_path);
    } else if (copy_error) {
      add(copy_error == ENOENT ? kind::missing_copy : kind::unreadable, scan_file, target_path);
    } else if (snapshot_record.st_size != copy_record.st_size) {
      add(kind::wrong_size, scan_file, target_path);
    } else if (o.checksum) {
      if (const char* found = compare_bytes(snapshot, copy, static_cast<unsigned long>(copy_record.st_size)))
        add(found, scan_file, target_path);
    }
    if (snapshot) s.snap_api->close(snapshot);
    if (copy) s.backup_api->close(copy);
  }

  // Nothing when the bytes agree, else the problem's kind.
  const char* compare_bytes(const file_handle& snapshot, const file_handle& copy, unsigned long size) {
    const tarn_mem::buffer_handle expected = s.snap_api->alloc_io_buffer(compare_chunk);
    const tarn_mem::buffer_handle found = s.backup_api->alloc_io_buffer(compare_chunk);
    if (!expected || !found) return kind::unreadable;
    for (unsigned long offset = 0; offset < size; offset += compare_chunk) {
      const unsigned long chunk = size - offset < compare_chunk ? size - offset : compare_chunk;
      if (read_fully(s.snap_api, snapshot, expected, chunk, offset) ||
          read_fully(s.backup_api, copy, found, chunk, offset))
        return kind::unreadable;
      if (std::memcmp(expected->get_base(), found->get_base(), chunk) != 0) return kind::wrong_content;
    }
    return nullptr;
  }

  stubber& s;
  const options& o;
  report& r;
};

// A JSON string: quotes, backslashes and control characters escaped; other bytes as they are.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::map<std::string, std::size_t> report::counts() const {
  std::map<std::string, std::size_t> counted;
  for (const problem& p : problems) ++counted[p.kind];
  return counted;
}

bool verify_container(stubber& s, const std::string& container, const options& o, report& r) {
  std::vector<std::string> collect_files;
  if (s.create_set_of_files(s.livefs_volname, s.livefs_volume, s.livefs_api, collect_files,
                            container) != success)
    return false;
  auditor a(s, o, r);
  for (const std::string& collect_file : collect_files) a.check_collect_file(collect_file);
  return true;
}

void print_text(const report& r, std::FILE* out) {
  for (const problem& p : r.problems) {
    if (p.target_path.empty()) std::fprintf(out, "%s: %s\n", p.kind.c_str(), p.live_path.c_str());
    else std::fprintf(out, "%s: %s -> %s\n", p.kind.c_str(), p.live_path.c_str(), p.target_path.c_str());
  }
  std::fprintf(out, "verify: %zu files checked, %zu sound", r.files, r.sound);
  const char* separator = "; ";
  for (const auto& [what, count] : r.counts()) {
    std::fprintf(out, "%s%s: %zu", separator, what.c_str(), count);
    separator = ", ";
  }
  std::fprintf(out, "\n");
}

void print_json(const report& r, std::FILE* out) {
  for (const problem& p : r.problems)
    std::fprintf(out, "{\"kind\":%s,\"live\":%s,\"target\":%s}\n", json_string(p.kind).c_str(),
                 json_string(p.live_path).c_str(), json_string(p.target_path).c_str());
  std::string counts;
  for (const auto& [what, count] : r.counts())
    counts += (counts.empty() ? "" : ",") + json_string(what) + ":" + std::to_string(count);
  std::fprintf(out, "{\"files\":%zu,\"sound\":%zu,\"problems\":{%s}}\n", r.files, r.sound, counts.c_str());
}

}  // namespace tarn::stubber::audit
