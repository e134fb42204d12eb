// Times reading one list file through the stubber's list reader, as a worker does.
// Usage: list_read LIVE_VOLUME LIST_PATH   (the cluster configuration must exist)

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "stubber/stubber.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s LIVE_VOLUME LIST_PATH\n", argv[0]);
    return 2;
  }
  tarn::stubber::stubber s(argv[1], argv[1]);
  std::vector<std::string> entries;
  const auto started = std::chrono::steady_clock::now();
  const std::error_code result =
      s.create_set_of_files(argv[1], s.livefs_volume, s.livefs_api, entries, argv[2]);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu %.6f\n", entries.size(), seconds);
  return result == tarn::success ? 0 : 1;
}
