#include "tests/support/isolation.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cstring>
#include <string>

namespace tarn::test {
namespace {

bool isolation_done = false;

bool make_directories(const char* path) {
  std::string partial;
  for (const char* p = path; *p; ++p) {
    partial += *p;
    if ((p[1] == '/' || p[1] == '\0') && ::mkdir(partial.c_str(), 0755) < 0 && errno != EEXIST)
      return false;
  }
  return true;
}

bool mount_tmpfs(const char* path) {
  return make_directories(path) &&
         ::mount("tarn-test", path, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

// A fresh /tmp that still shows the directories of the old one (the build tree may lie
// there), so that only new entries such as /tmp/farstow are private.
bool mount_private_tmp() {
  const int old_tmp = ::open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (old_tmp < 0 || !mount_tmpfs("/tmp")) return false;
  const int listing = ::openat(old_tmp, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listing < 0 ? nullptr : ::fdopendir(listing);
  bool kept = entries != nullptr;
  while (entries) {
    const dirent* entry = ::readdir(entries);
    if (!entry) break;
    const std::string name = entry->d_name;
    struct stat record;
    if (name == "." || name == ".." || ::fstatat(old_tmp, name.c_str(), &record, AT_SYMLINK_NOFOLLOW) < 0 ||
        !S_ISDIR(record.st_mode))
      continue;
    const std::string source = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + name;
    const std::string target = "/tmp/" + name;
    kept = kept && ::mkdir(target.c_str(), 0755) == 0 &&
           ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
  }
  if (entries) ::closedir(entries);
  ::close(old_tmp);
  return kept;
}

}  // namespace

void isolate_process() {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "tests: not root; tests that need the cluster configuration are skipped\n");
    return;
  }
  if (::unshare(CLONE_NEWNS) < 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
      !mount_tmpfs("/run/gluster/shared_storage") || !mount_private_tmp()) {
    std::fprintf(stderr, "tests: no private mount namespace (%s); tests that need it are skipped\n",
                 std::strerror(errno));
    return;
  }
  isolation_done = true;
}

bool isolated() { return isolation_done; }

}  // namespace tarn::test
