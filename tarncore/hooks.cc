#include "tarncore/hooks.h"

#include <mutex>
#include <vector>

#include "tarncore/stats.h"

namespace tarn::hooks {
namespace {

std::mutex state_mutex;
std::vector<core_testing::fault> faults;
bool tracing = false;
std::vector<core_testing::traced_call> trace;
bool capturing = false;
std::vector<core_testing::logged_message> messages;

std::atomic<std::uint64_t> bytes_written{0};
std::atomic<std::uint64_t> files_written{0};

std::string inside_volume(const std::string& path) {
  const auto first = path.find_first_not_of('/');
  return first == std::string::npos ? std::string() : path.substr(first);
}

bool hits(const core_testing::fault& f, core_testing::operation op, const std::string& volume,
          const std::string& path, long offset, const std::string& attribute) {
  if (f.op != op || f.times == 0) return false;
  if (!f.attribute.empty() && f.attribute != attribute) return false;
  if (!f.volume.empty() && f.volume != volume) return false;
  if (!f.path.empty() && inside_volume(f.path) != inside_volume(path)) return false;
  return f.offset < 0 || f.offset == offset;
}

// Called with state_mutex held.
void update_armed() {
  armed.store(!faults.empty() || tracing || capturing, std::memory_order_relaxed);
}

}  // namespace

std::atomic<bool> armed{false};

std::optional<outcome> check_slow(core_testing::operation op, const std::string& volume,
                                  const std::string& path, long offset,
                                  const std::string& attribute) {
  std::lock_guard<std::mutex> lock(state_mutex);
  if (tracing) trace.push_back({op, volume, path});
  for (auto& f : faults) {
    if (!hits(f, op, volume, path, offset, attribute)) continue;
    if (f.times > 0) --f.times;
    return outcome{f.error, f.result};
  }
  return std::nullopt;
}

bool faults_set() {
  if (!armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(state_mutex);
  return !faults.empty();
}

bool capture_message(const char* function, const std::string& text) {
  if (!armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(state_mutex);
  if (!capturing) return false;
  messages.push_back({function, text});
  return true;
}

void count_write(std::uint64_t bytes) { bytes_written.fetch_add(bytes, std::memory_order_relaxed); }
void count_written_file() { files_written.fetch_add(1, std::memory_order_relaxed); }

}  // namespace tarn::hooks

namespace tarn::core_testing {

using hooks::state_mutex;

void inject_fault(const fault& f) {
  std::lock_guard<std::mutex> lock(state_mutex);
  hooks::faults.push_back(f);
  hooks::update_armed();
}

void clear_faults() {
  std::lock_guard<std::mutex> lock(state_mutex);
  hooks::faults.clear();
  hooks::update_armed();
}

void start_tracing() {
  std::lock_guard<std::mutex> lock(state_mutex);
  hooks::trace.clear();
  hooks::tracing = true;
  hooks::update_armed();
}

std::vector<traced_call> traced_calls() {
  std::lock_guard<std::mutex> lock(state_mutex);
  return hooks::trace;
}

void stop_tracing() {
  std::lock_guard<std::mutex> lock(state_mutex);
  hooks::tracing = false;
  hooks::trace.clear();
  hooks::update_armed();
}

void start_capturing_messages() {
  std::lock_guard<std::mutex> lock(state_mutex);
  hooks::messages.clear();
  hooks::capturing = true;
  hooks::update_armed();
}

std::vector<logged_message> captured_messages() {
  std::lock_guard<std::mutex> lock(state_mutex);
  return hooks::messages;
}

void stop_capturing_messages() {
  std::lock_guard<std::mutex> lock(state_mutex);
  hooks::capturing = false;
  hooks::messages.clear();
  hooks::update_armed();
}

}  // namespace tarn::core_testing

namespace tarn::core_stats {

totals current() {
  return {hooks::bytes_written.load(std::memory_order_relaxed),
          hooks::files_written.load(std::memory_order_relaxed)};
}

}  // namespace tarn::core_stats
