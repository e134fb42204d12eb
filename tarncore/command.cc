// Running an external program without a shell.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "core/tarn_utils.h"
#include "tarncore/hooks.h"

extern char** environ;

namespace tarn {
namespace {

// Bounds on what is kept of a program's output; the rest is read and dropped.
constexpr std::size_t max_output_lines = 10000;
constexpr std::size_t max_error_bytes = 64 * 1024;

std::vector<std::string> split_at_blanks(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  for (char c : command) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

struct pipe_pair {
  int read_end = -1;
  int write_end = -1;
  bool open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return false;
    read_end = fds[0];
    write_end = fds[1];
    return true;
  }
  void close_write() {
    if (write_end >= 0) ::close(write_end);
    write_end = -1;
  }
  ~pipe_pair() {
    close_write();
    if (read_end >= 0) ::close(read_end);
  }
};

pid_t spawn(const std::vector<std::string>& words, pipe_pair& out, pipe_pair& err, int& error) {
  std::vector<char*> argv;
  for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write_end, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write_end, STDERR_FILENO);
  pid_t pid = -1;
  error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

// Appends complete lines of `pending` to `output`, keeping at most max_output_lines.
void take_lines(std::string& pending, std::list<std::string>& output, bool at_end) {
  std::size_t start = 0;
  for (std::size_t newline; (newline = pending.find('\n', start)) != std::string::npos;
       start = newline + 1) {
    if (output.size() < max_output_lines) output.push_back(pending.substr(start, newline - start));
  }
  pending.erase(0, start);
  if (at_end && !pending.empty()) {
    if (output.size() < max_output_lines) output.push_back(pending);
    pending.clear();
  }
}

// Reads both pipes until the program has closed them.
void drain(pipe_pair& out, pipe_pair& err, std::list<std::string>& output, std::string& errors) {
  std::string pending;
  pollfd fds[2] = {{out.read_end, POLLIN, 0}, {err.read_end, POLLIN, 0}};
  int open_count = 2;
  char chunk[4096];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open_count;
        continue;
      }
      if (i == 0) {
        pending.append(chunk, std::size_t(n));
        take_lines(pending, output, false);
      } else if (errors.size() < max_error_bytes) {
        errors.append(chunk, std::min(std::size_t(n), max_error_bytes - errors.size()));
      }
    }
  }
  take_lines(pending, output, true);
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

// `max_lines` bounds the lines of output kept in `output` (0 or less: the built-in bound
// of 10,000). The program itself is never cut short: an archive run may take as long as
// its list needs.
int tarn_utils::execute_command(std::string command, std::list<std::string>& output,
                                std::string& errors, int max_lines) {
  const std::vector<std::string> words = split_at_blanks(command);
  if (words.empty()) return 127;
  if (auto hit = hooks::check(core_testing::operation::execute_command, "", words[0]))
    return int(hit->result);

  pipe_pair out, err;
  if (!out.open() || !err.open()) return -1;
  int error = 0;
  const pid_t pid = spawn(words, out, err, error);
  if (pid < 0) {
    errors = "cannot run " + words[0] + ": " + std::strerror(error);
    return 127;
  }
  out.close_write();
  err.close_write();
  std::list<std::string> lines;
  drain(out, err, lines, errors);
  while (max_lines > 0 && lines.size() > std::size_t(max_lines)) lines.pop_back();
  output.splice(output.end(), lines);
  return wait_for(pid);
}

}  // namespace tarn
