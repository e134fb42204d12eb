// The floor of a durable stub run on local volumes on this machine: the file system work
// that any copier which keeps the stub's promises must do, with nothing else around it.
// Each subdirectory of SOURCE_DIR (a collect file's worth) gets THREADS threads of its
// own, as a collect file gets a worker and its helpers, which share its files out:
//   - each creates the partial copy ".NAME.tarn-partial" under TARGET_DIR, records the
//     source in an attribute, writes the file whole into it;
//   - once all are written: one syncfs, the renames into place, one directory sync;
//   - each marks the file of the same name under LIVE_DIR with two attributes of its own
//     (not the stub's marks, which the bench checks).
// No target lookups, no reading of earlier marks, no windows, no messages. A stub run
// does all of this and more, so its speed stays below this one.
// Usage: local_floor SOURCE_DIR TARGET_DIR LIVE_DIR [THREADS]
// Prints: files threads seconds

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> entries(const std::string& directory, unsigned char type) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) return names;
  while (const dirent* entry = ::readdir(listing))
    if (entry->d_type == type && entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::string partial_name(const std::string& name) { return "." + name + ".tarn-partial"; }

// One file read whole into its partial copy under `target`, its source recorded.
bool write_partial(int source, int target, const std::string& name, const std::string& source_path) {
  thread_local std::vector<char> buffer((1 << 20) + 1);  // one more byte: a read that fills it has not reached the end
  const int in = ::openat(source, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const ssize_t size = ::read(in, buffer.data(), buffer.size());
  ::close(in);
  if (size < 0 || std::size_t(size) == buffer.size()) return false;  // unreadable, or larger than the buffer
  const int out = ::openat(target, partial_name(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return false;
  const bool written = ::fsetxattr(out, "trusted.tarn.source", source_path.data(), source_path.size(), 0) == 0 &&
                       ::write(out, buffer.data(), std::size_t(size)) == size;
  return ::close(out) == 0 && written;
}

bool mark(int live, const std::string& name, const std::string& target_path) {
  const int file = ::openat(live, name.c_str(), O_RDWR | O_CLOEXEC);
  if (file < 0) return false;
  const char* const mtime = "1796827886";
  const bool marked = ::fsetxattr(file, "trusted.tarn-floor.uuid", target_path.data(), target_path.size(), 0) == 0 &&
                      ::fsetxattr(file, "trusted.tarn-floor.mtime", mtime, std::strlen(mtime), 0) == 0;
  return ::close(file) == 0 && marked;
}

// Calls `step(i)` for each i below `count` on `threads` threads: the number that failed.
template <class Step>
int on_threads(std::size_t count, int threads, const Step& step) {
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (std::size_t i = std::size_t(t); i < count; i += std::size_t(threads))
        if (!step(i)) ++failures;
    });
  for (std::thread& thread : pool) thread.join();
  return failures;
}

// One subdirectory's files, as one collect file: the number that failed.
int copy_directory(const std::string& source_dir, const std::string& target_dir, const std::string& live_dir,
                   int threads) {
  const std::vector<std::string> names = entries(source_dir, DT_REG);
  if (::mkdir(target_dir.c_str(), 0777) != 0) return int(names.size()) + 1;
  const int source = ::open(source_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int target = ::open(target_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int live = ::open(live_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (source < 0 || target < 0 || live < 0) return int(names.size()) + 1;
  int failures = on_threads(names.size(), threads, [&](std::size_t i) {
    return write_partial(source, target, names[i], source_dir + "/" + names[i]);
  });
  if (::syncfs(target) != 0) ++failures;
  failures += on_threads(names.size(), threads, [&](std::size_t i) {
    return ::renameat(target, partial_name(names[i]).c_str(), target, names[i].c_str()) == 0;
  });
  if (::fsync(target) != 0) ++failures;
  failures += on_threads(names.size(), threads, [&](std::size_t i) {
    return mark(live, names[i], target_dir + "/" + names[i]);
  });
  for (const int fd : {source, target, live}) ::close(fd);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc == 5 ? std::atoi(argv[4]) : 1;
  if ((argc != 4 && argc != 5) || threads < 1) {
    std::fprintf(stderr, "usage: %s SOURCE_DIR TARGET_DIR LIVE_DIR [THREADS]\n", argv[0]);
    return 2;
  }
  const std::string source_dir = argv[1], target_dir = argv[2], live_dir = argv[3];
  const std::vector<std::string> directories = entries(source_dir, DT_DIR);
  std::size_t files = 0;
  for (const std::string& directory : directories) files += entries(source_dir + "/" + directory, DT_REG).size();
  if (::mkdir(target_dir.c_str(), 0777) != 0) {
    std::perror(target_dir.c_str());
    return 1;
  }
  std::atomic<int> failures{0};
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (const std::string& directory : directories)
    workers.emplace_back([&, directory] {
      failures += copy_directory(source_dir + "/" + directory, target_dir + "/" + directory, live_dir + "/" + directory,
                                 threads);
    });
  for (std::thread& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu %zu %.6f\n", files, directories.size() * std::size_t(threads), seconds);
  if (failures) std::fprintf(stderr, "%d failures\n", failures.load());
  return failures ? 1 : 0;
}
