// Truncation: each collect file is written out as a local list file under /tmp/farstow
// and handed to the archive tool, one after the other.
//
// /tmp is writable by everyone and this runs as root, so the work directory must be a
// real directory of our own, and the list file is never written through a symbolic link.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <list>

#include <boost/filesystem/path.hpp>

#include "core/tarn_utils.h"
#include "stubber/stubber.h"

namespace tarn::stubber {

namespace {

const char* const label = "stubber::truncate()";
const char* const work_directory = "/tmp/farstow";
const char* const failed_files = "/tmp/failed-files";
constexpr int kept_output_lines = 100;

// Creates the work directory, or accepts the one there when it is safe to write in.
bool make_work_directory() {
  if (::mkdir(work_directory, 0777) < 0 && errno != EEXIST) return false;
  struct stat record;
  if (::lstat(work_directory, &record) < 0) return false;
  return S_ISDIR(record.st_mode) && record.st_uid == ::geteuid();
}

// Writes `text` and one more newline to `path`, replacing what it held.
bool write_local_list(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const std::string content = text + "\n";
  bool written = true;
  for (std::size_t done = 0; written && done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += std::size_t(n);
  }
  return ::close(fd) == 0 && written;
}

}  // namespace

int stubber::truncate() {
  for (const std::string& collect_file : stub_collect_files)
    if (hand_to_archive_tool(collect_file) != 0) return -1;
  return 0;
}

// An unreadable collect file stops truncation: the tool is never run on a list that is
// not the collect file's.
int stubber::hand_to_archive_tool(const std::string& collect_file) {
  std::vector<std::string> scan_list;
  if (read_live_list(scan_list, collect_file) != success) return -1;
  std::string text;
  for (const std::string& scan_file : scan_list) text += scan_file + "\n";

  if (!make_work_directory()) {
    logger.error(label, "Failed to create farstow directory.");
    return -1;
  }
  const std::string local_list =
      std::string(work_directory) + "/" + boost::filesystem::path(collect_file).filename().string();
  if (!write_local_list(local_list, text)) {
    logger.error(label, "Failed to generate farstow collect file.");
    return -1;
  }
  const std::string command = "farstow stub glusterfs " + livefs_volname + " glusterfs " +
                              backup_volname + " " + local_list + " " + failed_files;
  std::list<std::string> output;
  std::string errors;
  if (tarn_utils::execute_command(command, output, errors, kept_output_lines) != 0) {
    ::unlink(local_list.c_str());
    logger.error(label, "Failed to execute command %s.", command.c_str());
    return -1;
  }
  return 0;
}

}  // namespace tarn::stubber
