// The GlusterFS backend is a module of its own, libtarncore-gluster.so beside this
// library, loaded the first time a process reaches a volume over GlusterFS. A process that
// uses only local volumes never loads gfapi and the twenty libraries that come with it,
// which would cost it about 8 ms at every start. Without the module (a build without
// gfapi) the glusterfs backend refuses to connect.

#include <dlfcn.h>

#include <cerrno>
#include <string>

#include "core/tarn_debug.h"
#include "tarncore/backend.h"

namespace tarn::backend {
namespace {

const char* const module_file = "libtarncore-gluster.so";

// The module lies in the directory this library was loaded from.
std::string module_path() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&module_path), &self) == 0 || !self.dli_fname) return module_file;
  const std::string library = self.dli_fname;
  const auto slash = library.rfind('/');
  return slash == std::string::npos ? module_file : library.substr(0, slash + 1) + module_file;
}

// Loaded once and never unloaded: gfapi's threads live as long as the process.
const gluster_backend_entry* gluster_module() {
  static const gluster_backend_entry* const entry = []() -> const gluster_backend_entry* {
    const std::string path = module_path();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    using entry_function = const gluster_backend_entry* (*)();
    auto get_entry = module ? reinterpret_cast<entry_function>(dlsym(module, gluster_backend_symbol))
                            : nullptr;
    if (!get_entry) {
      const char* why = dlerror();
      tarn_debug().error("tarn_api::init()", "GlusterFS backend not available: %s",
                         why ? why : path.c_str());
      return nullptr;
    }
    return get_entry();
  }();
  return entry;
}

}  // namespace

connected connect_gluster(const settings::core_settings& s, const iopx_tree_cfg& cfg) {
  const gluster_backend_entry* module = gluster_module();
  return module ? module->connect(s, cfg) : connected{nullptr, EPROTONOSUPPORT};
}

int gluster_snap_volfile(const settings::core_settings& s, const std::string& name,
                         std::string& volfile) {
  const gluster_backend_entry* module = gluster_module();
  return module ? module->snap_volfile(s, name, volfile) : EPROTONOSUPPORT;
}

}  // namespace tarn::backend
