// tarn-stubber: runs one operation of the stubber from a shell or a scheduler.

#include <getopt.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "stubber/audit.h"
#include "stubber/stubber.h"
#include "tarncore/stats.h"

namespace {

const char* const program = "tarn-stubber";
const char* const version = TARN_VERSION;

void print_usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: %s [OPTION]... OPERATION LIVE_VOLUME BACKUP_VOLUME CONTAINER\n"
               "Run one operation on the collect files listed in CONTAINER, a file on LIVE_VOLUME.\n"
               "\n"
               "Operations (or their codes):\n"
               "  stub      (1)  copy the listed files from the live volume's snapshot to\n"
               "                 BACKUP_VOLUME and mark each live file with where its copy lies\n"
               "  delete    (2)  remove the copies that the listed collect files name\n"
               "  truncate  (3)  hand each collect file to the archive tool farstow\n"
               "  verify         check that every listed live file is marked and that the\n"
               "                 copy its mark names is there and complete; writes nothing\n"
               "\n"
               "Options:\n"
               "  -q, --quiet    print no summary line\n"
               "  -c, --checksum verify: compare the copies' bytes, not only their sizes\n"
               "  -j, --json     verify: print JSON objects, one per line\n"
               "  -h, --help     show this help and exit\n"
               "  -V, --version  show the version and exit\n"
               "\n"
               "The snapshot is the one that /run/gluster/shared_storage/livefs.json names.\n"
               "On a terminal a summary line is printed on standard error at the end.\n"
               "Messages go to standard error and syslog.\n"
               "\n"
               "Exit status: 0 on success, 1 when the operation failed (verify: when it found\n"
               "a problem), 2 on a usage error.\n",
               program);
}

int usage_error(const char* text) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, text, program);
  return 2;
}

// The operation code of a name or number; 0 when there is none.
int operation_code(const std::string& name) {
  if (name == "stub" || name == "1") return 1;
  if (name == "delete" || name == "2") return 2;
  if (name == "truncate" || name == "3") return 3;
  return 0;
}

void print_summary(const std::string& operation, int result, const tarn::core_stats::totals& before,
                   std::chrono::steady_clock::duration elapsed) {
  const tarn::core_stats::totals after = tarn::core_stats::current();
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const double megabytes = double(after.bytes_written - before.bytes_written) / 1e6;
  std::fprintf(stderr, "%s: %s %s: %llu files, %.1f MB written in %.2f s\n", program,
               operation.c_str(), result == 0 ? "succeeded" : "failed",
               static_cast<unsigned long long>(after.files_written - before.files_written),
               megabytes, seconds);
}

// Exit status 0 when every listed file is sound, 1 otherwise.
int verify(const char* live, const char* backup, const char* container,
           const tarn::stubber::audit::options& checks, bool json) {
  tarn::stubber::stubber stubber(live, backup);
  tarn::stubber::audit::report report;
  if (!tarn::stubber::audit::verify_container(stubber, container, checks, report)) {
    std::fprintf(stderr, "%s: cannot read the container %s\n", program, container);
    return 1;
  }
  if (json) tarn::stubber::audit::print_json(report, stdout);
  else tarn::stubber::audit::print_text(report, stdout);
  return report.problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false, json = false;
  tarn::stubber::audit::options checks;
  static const option options[] = {{"quiet", no_argument, nullptr, 'q'},
                                   {"checksum", no_argument, nullptr, 'c'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "qcjhV", options, nullptr)) != -1;) {
    switch (c) {
      case 'q': quiet = true; break;
      case 'c': checks.checksum = true; break;
      case 'j': json = true; break;
      case 'h': print_usage(stdout); return 0;
      case 'V': std::printf("%s %s\n", program, version); return 0;
      default: return usage_error("unknown option");
    }
  }
  if (argc - optind != 4) return usage_error("expected OPERATION LIVE_VOLUME BACKUP_VOLUME CONTAINER");
  const std::string operation = argv[optind];
  if (operation == "verify") {
    try {
      return verify(argv[optind + 1], argv[optind + 2], argv[optind + 3], checks, json);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", program, e.what());
      return 1;
    }
  }
  if (checks.checksum || json) return usage_error("--checksum and --json go with verify only");
  const int code = operation_code(operation);
  if (code == 0) return usage_error(("unknown operation '" + operation + "'").c_str());

  const auto started = std::chrono::steady_clock::now();
  const tarn::core_stats::totals before = tarn::core_stats::current();
  int result;
  try {
    tarn::stubber::stubber stubber(argv[optind + 1], argv[optind + 2]);
    result = stubber.init(argv[optind + 3], code);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    result = -1;
  }
  if (!quiet && isatty(STDERR_FILENO))
    print_summary(operation, result, before, std::chrono::steady_clock::now() - started);
  return result == 0 ? 0 : 1;
}
