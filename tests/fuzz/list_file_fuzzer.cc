// Fuzzes the list-file reader: whatever the bytes, the entries are those of a plain split
// at line feeds and NUL bytes with the empty entries dropped.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stubber/stubber.h"
#include "tests/support/cluster.h"
#include "tests/support/isolation.h"

namespace {

tarn::test::test_cluster* cluster;
tarn::stubber::stubber* reader;

std::vector<std::string> plain_split(const std::string& bytes) {
  std::vector<std::string> entries;
  std::string entry;
  for (char c : bytes) {
    if (c == '\n' || c == '\0') {
      if (!entry.empty()) entries.push_back(entry);
      entry.clear();
    } else {
      entry += c;
    }
  }
  if (!entry.empty()) entries.push_back(entry);
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarn::test::isolate_process();
  if (!tarn::test::isolated()) {
    std::fprintf(stderr, "list_file_fuzzer: needs root for a private mount namespace\n");
    std::exit(1);
  }
  ::setenv("TARNCORE_LOG", "stderr", 1);
  cluster = new tarn::test::test_cluster(tarn::test::backend::local);
  reader = new tarn::stubber::stubber(cluster->live_name, cluster->backup_name);
  std::atexit([] {
    delete reader;
    delete cluster;  // removes the volumes' directory
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  tarn::test::write_bytes(cluster->live("list"), bytes);
  std::vector<std::string> entries{"kept"};
  const auto result = reader->create_set_of_files(cluster->live_name, reader->livefs_volume,
                                                  reader->livefs_api, entries, "list");
  std::vector<std::string> expected{"kept"};
  for (auto& entry : plain_split(bytes)) expected.push_back(entry);
  if (result != tarn::success || entries != expected) std::abort();
  return 0;
}
