// Built when GlusterFS's gfapi is not available: the glusterfs backend refuses to connect.

#include <cerrno>

#include "tarncore/backend.h"

namespace tarn::backend {

connected connect_gluster(const settings::core_settings&, const iopx_tree_cfg&) {
  return {nullptr, EPROTONOSUPPORT};
}

int gluster_snap_volfile(const settings::core_settings&, const std::string&, std::string&) {
  return EPROTONOSUPPORT;
}

}  // namespace tarn::backend
