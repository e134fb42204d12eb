#include "tests/support/isolation.h"

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

}  // namespace

void isolate_process() {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "tests: not root; tests that need the cluster configuration are skipped\n");
    return;
  }
  if (::unshare(CLONE_NEWNS) < 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
      !mount_tmpfs("/run/gluster/shared_storage") || !mount_tmpfs("/tmp")) {
    std::fprintf(stderr, "tests: no private mount namespace (%s); tests that need it are skipped\n",
                 std::strerror(errno));
    return;
  }
  isolation_done = true;
}

bool isolated() { return isolation_done; }

}  // namespace tarn::test
