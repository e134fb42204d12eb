#pragma once

#include <string>
#include <system_error>

#include <boost/shared_ptr.hpp>

namespace tarn {

// The one success value. Every std::error_code result of the core library and of the
// system is compared with it by value and category.
inline const std::error_code success{0, std::generic_category()};

// Settings of one volume connection. `type` is always "glusterfs"; `volfile` is set only
// for a snapshot, whose connection is made from its volfile rather than by name.
struct iopx_tree_cfg {
  std::string type;
  std::string volname;
  std::string transport;  // unused, left empty
  std::string volfile;
};

// Opaque objects of the core library, reached only through handles.
class tarn_iopx;        // one volume connection
class tarn_aio_result;  // completion record; the system always passes it empty

namespace tarn_thpool { class tarn_thpool; }
namespace tarn_loc { class tarn_loc; }

using volume_handle = boost::shared_ptr<tarn_iopx>;
using completion_handle = boost::shared_ptr<tarn_aio_result>;

}  // namespace tarn
