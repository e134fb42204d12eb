// The core library's logger: standard error and syslog, as the settings say.

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/tarn_debug.h"
#include "tarncore/hooks.h"
#include "tarncore/settings.h"

namespace tarn {
namespace {

struct log_targets {
  bool to_stderr;
  bool to_syslog;
};

const log_targets& targets() {
  static const log_targets t = [] {
    const settings::core_settings s = settings::read();
    if (s.log_to_syslog) openlog("tarn", LOG_PID, LOG_DAEMON);
    return log_targets{s.log_to_stderr, s.log_to_syslog};
  }();
  return t;
}

__attribute__((format(printf, 1, 0)))
std::string format_message(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  char small[512];
  const int length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length < 0) return format;
  if (std::size_t(length) < sizeof small) return std::string(small, std::size_t(length));
  std::string text(std::size_t(length) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, arguments);
  text.resize(std::size_t(length));
  return text;
}

}  // namespace

tarn_debug::tarn_debug() = default;
tarn_debug::~tarn_debug() = default;

void tarn_debug::error(const char* function, const char* format, ...) const {
  va_list arguments;
  va_start(arguments, format);
  const std::string text = format_message(format, arguments);
  va_end(arguments);

  if (hooks::capture_message(function, text)) return;
  const log_targets& t = targets();
  if (t.to_syslog) syslog(LOG_ERR, "%s: %s", function, text.c_str());
  if (t.to_stderr) {
    // One write per message, so that lines of concurrent workers never interleave.
    const std::string line = std::string("tarn: ") + function + ": " + text + "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  }
}

}  // namespace tarn
