// Fuzzes the cluster configuration reader: any text either reads or throws one of Boost
// property_tree's exceptions; nothing else may happen.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <boost/property_tree/exceptions.hpp>

#include "config/tarn_config.h"

namespace {
const std::string path = "/var/tmp/tarn-config-fuzz-" + std::to_string(::getpid()) + ".json";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit([] { std::remove(path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), std::streamsize(size));
  try {
    tarn::tarn_config::tarn_config config(path);
    (void)config.get_glustersnap_name();
  } catch (const boost::property_tree::ptree_error&) {
  }
  return 0;
}
