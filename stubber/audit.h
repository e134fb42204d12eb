#pragma once

// The audit of a stubbed container: whether every live file that its collect files list
// is marked, and whether the copy that its mark names is there, is the copy of that file
// and holds the snapshot's version. It reads through the stubber's connections and
// writes nothing. The host program's "verify" runs it.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "stubber/stubber.h"

namespace tarn::stubber::audit {

// Problem kinds, as they are printed.
namespace kind {
const char* const not_stubbed = "not stubbed";       // no "trusted.farstow.mtime"
const char* const wrong_mark = "wrong mark";         // no uuid mark, or one naming another path
const char* const missing_live = "missing live file";
const char* const missing_copy = "missing copy";
const char* const wrong_source = "wrong source";     // the copy records another file, or none
const char* const no_snapshot = "no snapshot file";  // nothing to compare the copy with
const char* const wrong_size = "wrong size";
const char* const wrong_content = "wrong content";   // found with checksum only
const char* const changed = "changed since stubbed";  // live mtime differs from its mark
const char* const unreadable = "unreadable";          // an error other than absence
const char* const unreadable_list = "unreadable collect file";
}  // namespace kind

struct problem {
  std::string kind;
  std::string live_path;    // the scan file, or the collect file that could not be read
  std::string target_path;  // where its copy lies when stubbing formed it; empty for a list
};

struct report {
  std::size_t files = 0;  // scan files checked
  std::size_t sound = 0;  // of them, with no problem
  std::vector<problem> problems;
  // Problems per kind, in the order printed.
  std::map<std::string, std::size_t> counts() const;
};

struct options {
  bool checksum = false;  // compare the copy's bytes with the snapshot's, not only sizes
};

// Checks every scan file of every collect file that `container` lists. False when the
// container cannot be read (the reader logs why).
bool verify_container(stubber& s, const std::string& container, const options& o, report& r);

// One line per problem ("kind: live path -> target path"), then a summary line.
void print_text(const report& r, std::FILE* out);
// One JSON object per problem, then a summary object, one per line.
void print_json(const report& r, std::FILE* out);

}  // namespace tarn::stubber::audit
