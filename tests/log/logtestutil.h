// Shared helpers of the log tests: a scratch directory and file access.
#ifndef ZEP_TESTS_LOG_LOGTESTUTIL_H
#define ZEP_TESTS_LOG_LOGTESTUTIL_H

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A fresh directory, removed with its files at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/zeplogtest.XXXXXX";
    char* p = mkdtemp(tmpl);
    m_dir = p ? p : "/tmp";
  }
  ~ScratchDir() {
    if (DIR* d = opendir(m_dir.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") unlink((m_dir + "/" + name).c_str());
      }
      closedir(d);
    }
    rmdir(m_dir.c_str());
  }
  std::string Path(const std::string& name) const { return m_dir + "/" + name; }

 private:
  std::string m_dir;
};

inline bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

#endif  // ZEP_TESTS_LOG_LOGTESTUTIL_H
