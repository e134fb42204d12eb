#pragma once

#include <memory>
#include <string>

#include "tarncore/backend.h"

namespace tarn {

// A volume connection: the backend object and the name that messages and faults use.
class tarn_iopx {
 public:
  tarn_iopx(std::string name, std::unique_ptr<backend::volume> volume)
      : name_(std::move(name)), volume_(std::move(volume)) {}

  const std::string& name() const { return name_; }
  backend::volume& storage() const { return *volume_; }

 private:
  std::string name_;
  std::unique_ptr<backend::volume> volume_;
};

}  // namespace tarn
