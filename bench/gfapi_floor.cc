// The floor of copying small files through gfapi on this machine: THREADS threads take
// the files of SOURCE_DIR on volume FROM in turn, read each whole, and create, write,
// fsync and close its copy in TARGET_DIR on volume TO. Nothing else: no partial name, no
// rename, no source attribute, no marks. A stub run does all of that on top, so its
// speed on small files stays below this one.
// Usage: gfapi_floor SERVER FROM SOURCE_DIR TO TARGET_DIR THREADS
// Prints: files threads seconds

#include <fcntl.h>
#include <glusterfs/api/glfs.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

glfs_t* connect(const char* server, const char* volume) {
  glfs_t* fs = glfs_new(volume);
  if (!fs) return nullptr;
  if (glfs_set_volfile_server(fs, "tcp", server, 24007) != 0 || glfs_set_logging(fs, "/dev/null", 0) != 0 ||
      glfs_init(fs) != 0) {
    glfs_fini(fs);
    return nullptr;
  }
  return fs;
}

std::vector<std::string> names_in(glfs_t* fs, const std::string& directory) {
  std::vector<std::string> names;
  glfs_fd_t* listing = glfs_opendir(fs, directory.c_str());
  if (!listing) return names;
  while (const dirent* entry = glfs_readdir(listing))
    if (entry->d_type == DT_REG) names.emplace_back(entry->d_name);
  glfs_closedir(listing);
  return names;
}

// One file: read whole, copied, synced. False on any failure.
bool copy_file(glfs_t* from, const std::string& source, glfs_t* to, const std::string& target,
               std::vector<char>& buffer) {
  glfs_fd_t* in = glfs_open(from, source.c_str(), O_RDONLY);
  if (!in) return false;
  const ssize_t size = glfs_read(in, buffer.data(), buffer.size(), 0);
  glfs_close(in);
  if (size < 0) return false;
  glfs_fd_t* out = glfs_creat(to, target.c_str(), O_WRONLY | O_EXCL, 0600);
  if (!out) return false;
  const bool written = glfs_write(out, buffer.data(), std::size_t(size), 0) == size &&
                       glfs_fsync(out, nullptr, nullptr) == 0;
  return glfs_close(out) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s SERVER FROM SOURCE_DIR TO TARGET_DIR THREADS\n", argv[0]);
    return 2;
  }
  const std::string source_dir = argv[3], target_dir = argv[5];
  const int threads = std::atoi(argv[6]);
  glfs_t* from = connect(argv[1], argv[2]);
  glfs_t* to = connect(argv[1], argv[4]);
  if (!from || !to || threads < 1) {
    std::fprintf(stderr, "cannot connect to %s and %s (or no threads)\n", argv[2], argv[4]);
    return 1;
  }
  const std::vector<std::string> names = names_in(from, source_dir);
  if (glfs_mkdir(to, target_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "cannot make %s: %s\n", target_dir.c_str(), std::strerror(errno));
    return 1;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> copiers;
  for (int t = 0; t < threads; ++t)
    copiers.emplace_back([&] {
      std::vector<char> buffer(1 << 20);
      for (std::size_t i; (i = next++) < names.size();)
        if (!copy_file(from, source_dir + "/" + names[i], to, target_dir + "/" + names[i], buffer)) ++failures;
    });
  for (std::thread& copier : copiers) copier.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu %d %.6f\n", names.size(), threads, seconds);
  glfs_fini(from);
  glfs_fini(to);
  return failures ? 1 : 0;
}
