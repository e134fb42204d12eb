// The floor of copying files of up to 1 MiB through gfapi on this machine: THREADS
// threads take the files of SOURCE_DIR (and of its subdirectories) on volume FROM in
// turn, read each whole, and create, write, fsync and close its copy at the same place
// under TARGET_DIR on volume TO. With `copy` (the default), nothing else. With `durable`,
// also the steps by which a stub run keeps its promises: the copy is made under a
// partial name with its source in an attribute and renamed into place once synced, the
// file is marked on FROM with two attributes of its own (not the stub's marks, which the
// bench checks), and each target directory is synced at the end. No target lookups, no
// reading of earlier marks, no windows. A stub run does all of this and more, so its
// speed stays below this one.
// Usage: gfapi_floor SERVER FROM SOURCE_DIR TO TARGET_DIR THREADS [copy|durable]
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

// `target_dir` and the first-level subdirectories of `files` under it, made.
std::vector<std::string> make_directories(glfs_t* fs, const std::string& target_dir,
                                          const std::vector<std::string>& files) {
  std::vector<std::string> made;
  if (glfs_mkdir(fs, target_dir.c_str(), 0700) != 0 && errno != EEXIST) return made;
  made.push_back(target_dir);
  for (const std::string& file : files) {  // files_in lists a subdirectory's files together
    const auto slash = file.find('/');
    if (slash == std::string::npos) continue;
    const std::string directory = target_dir + "/" + file.substr(0, slash);
    if (directory == made.back()) continue;
    if (glfs_mkdir(fs, directory.c_str(), 0700) != 0 && errno != EEXIST) return {};
    made.push_back(directory);
  }
  return made;
}

bool set_attribute(glfs_fd_t* file, const char* name, const std::string& value) {
  return glfs_fsetxattr(file, name, value.data(), value.size(), 0) == 0;
}

std::string partial_path(const std::string& target) {
  const auto slash = target.rfind('/');
  return target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".tarn-partial";
}

bool mark(glfs_t* fs, const std::string& path, const std::string& target) {
  glfs_fd_t* file = glfs_open(fs, path.c_str(), O_RDWR);
  if (!file) return false;
  const bool marked = set_attribute(file, "trusted.tarn-floor.uuid", target) &&
                      set_attribute(file, "trusted.tarn-floor.mtime", "1796827886");
  return glfs_close(file) == 0 && marked;
}

// One file: read whole, copied, synced; with `durable` under its partial name, renamed
// into place and marked. False on any failure.
bool copy_file(glfs_t* from, const std::string& source, glfs_t* to, const std::string& target,
               std::vector<char>& buffer, bool durable) {
  glfs_fd_t* in = glfs_open(from, source.c_str(), O_RDONLY);
  if (!in) return false;
  ssize_t size = 0, n;
  while ((n = glfs_pread(in, buffer.data() + size, buffer.size() - std::size_t(size), size, 0, nullptr)) > 0)
    size += n;
  glfs_close(in);
  if (n < 0 || std::size_t(size) == buffer.size()) return false;  // unreadable, or larger than the buffer
  const std::string written_path = durable ? partial_path(target) : target;
  glfs_fd_t* out = glfs_creat(to, written_path.c_str(), O_WRONLY | O_EXCL, 0600);
  if (!out) return false;
  const bool written = (!durable || set_attribute(out, "trusted.tarn.source", source)) &&
                       glfs_write(out, buffer.data(), std::size_t(size), 0) == size &&
                       glfs_fsync(out, nullptr, nullptr) == 0;
  if (glfs_close(out) != 0 || !written) return false;
  return !durable || (glfs_rename(to, written_path.c_str(), target.c_str()) == 0 && mark(from, source, target));
}

bool sync_directory(glfs_t* fs, const std::string& path) {
  glfs_fd_t* directory = glfs_opendir(fs, path.c_str());
  if (!directory) return false;
  const bool synced = glfs_fsync(directory, nullptr, nullptr) == 0;
  return glfs_closedir(directory) == 0 && synced;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string steps = argc == 8 ? argv[7] : "copy";
  if ((argc != 7 && argc != 8) || (steps != "copy" && steps != "durable")) {
    std::fprintf(stderr, "usage: %s SERVER FROM SOURCE_DIR TO TARGET_DIR THREADS [copy|durable]\n", argv[0]);
    return 2;
  }
  const bool durable = steps == "durable";
  const std::string source_dir = argv[3], target_dir = argv[5];
  const int threads = std::atoi(argv[6]);
  glfs_t* from = connect(argv[1], argv[2]);
  glfs_t* to = connect(argv[1], argv[4]);
  if (!from || !to || threads < 1) {
    std::fprintf(stderr, "cannot connect to %s and %s (or no threads)\n", argv[2], argv[4]);
    return 1;
  }
  const std::vector<std::string> names = files_in(from, source_dir);
  const std::vector<std::string> directories = make_directories(to, target_dir, names);
  if (directories.empty()) {
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
        if (!copy_file(from, source_dir + "/" + names[i], to, target_dir + "/" + names[i], buffer, durable))
          ++failures;
    });
  for (std::thread& copier : copiers) copier.join();
  if (durable)
    for (const std::string& directory : directories)
      if (!sync_directory(to, directory)) ++failures;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu %d %.6f\n", names.size(), threads, seconds);
  glfs_fini(from);
  glfs_fini(to);
  return failures ? 1 : 0;
}
