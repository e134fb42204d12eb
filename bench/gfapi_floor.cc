// The floor of copying files of up to 1 MiB through gfapi on this machine: THREADS
// threads take the files of SOURCE_DIR (and of its subdirectories) on volume FROM in
// turn, read each whole, and create, write, fsync and close its copy at the same place
// under TARGET_DIR on volume TO. Nothing else: no partial name, no rename, no source
// attribute, no marks. A stub run does all of that on top, so its speed stays below this
// one.
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

// The files of `directory` and of its subdirectories one level down, as paths below it.
std::vector<std::string> files_in(glfs_t* fs, const std::string& directory, bool descend = true) {
  std::vector<std::string> names;
  glfs_fd_t* listing = glfs_opendir(fs, directory.c_str());
  if (!listing) return names;
  std::vector<std::string> subdirectories;
  while (const dirent* entry = glfs_readdir(listing)) {
    const std::string name = entry->d_name;
    if (entry->d_type == DT_REG) names.push_back(name);
    else if (entry->d_type == DT_DIR && descend && name != "." && name != "..") subdirectories.push_back(name);
  }
  glfs_closedir(listing);
  for (const std::string& subdirectory : subdirectories)
    for (const std::string& name : files_in(fs, directory + "/" + subdirectory, false))
      names.push_back(subdirectory + "/" + name);
  return names;
}

// The first-level subdirectories of `files` made under `target_dir`.
bool make_directories(glfs_t* fs, const std::string& target_dir, const std::vector<std::string>& files) {
  if (glfs_mkdir(fs, target_dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  std::string made;  // files_in lists a subdirectory's files together: one mkdir each
  for (const std::string& file : files) {
    const auto slash = file.find('/');
    if (slash == std::string::npos) continue;
    const std::string directory = target_dir + "/" + file.substr(0, slash);
    if (directory == made) continue;
    if (glfs_mkdir(fs, directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
    made = directory;
  }
  return true;
}

// One file: read whole, copied, synced. False on any failure.
bool copy_file(glfs_t* from, const std::string& source, glfs_t* to, const std::string& target,
               std::vector<char>& buffer) {
  glfs_fd_t* in = glfs_open(from, source.c_str(), O_RDONLY);
  if (!in) return false;
  ssize_t size = 0, n;
  while ((n = glfs_pread(in, buffer.data() + size, buffer.size() - std::size_t(size), size, 0, nullptr)) > 0)
    size += n;
  glfs_close(in);
  if (n < 0 || std::size_t(size) == buffer.size()) return false;  // unreadable, or larger than the buffer
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
  const std::vector<std::string> names = files_in(from, source_dir);
  if (!make_directories(to, target_dir, names)) {
    std::fprintf(stderr, "cannot make %s: %s\n", target_dir.c_str(), std::strerror(errno));
    return 1;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> copiers;
  for (int t = 0; t < threads; ++t)
    copiers.emplace_back([&] {
      std::vector<char> buffer((1 << 20) + 1);  // one more byte: a read that fills it has not reached the end
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
