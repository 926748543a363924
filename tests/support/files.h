// files.h — whole-file reads and writes and text counting of the tests.
//
// Threads: any; plain functions without shared state or locks.
#ifndef ZEP_TESTS_SUPPORT_FILES_H
#define ZEP_TESTS_SUPPORT_FILES_H

#include <sys/stat.h>

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zeptest {

// The bytes of `path`; "" when it cannot be read. A stream buffer, not an
// istreambuf_iterator: a /proc file whose process ends while it is read
// makes the read fail (ESRCH), which the iterator throws.
inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Replaces the contents of `path` with `text`; false when it cannot.
inline bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  return !f.fail();
}

inline bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Occurrences of `what` in `text` that do not overlap; 0 for an empty `what`.
inline size_t CountOf(const std::string& text, const std::string& what) {
  if (what.empty()) return 0;
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
    ++n;
  return n;
}

// The lines of `text` without their '\n'; a last line without one counts.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_FILES_H
