// tempdir.h — the one scratch directory of the tests: made fresh under /tmp,
// removed with everything in it (subdirectories too) when the object ends.
//
// Threads: any thread may read the path; the object belongs to the thread
// that made it. Takes no locks.
#ifndef ZEP_TESTS_SUPPORT_TEMPDIR_H
#define ZEP_TESTS_SUPPORT_TEMPDIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace zeptest {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zeptest.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
      m_Path = tmpl;
    } else {
      // Without a directory of its own a test must not write into / or /tmp
      // (where "path/name" would land): names below a missing directory make
      // every write fail instead.
      ADD_FAILURE() << "mkdtemp failed";
      m_Path = "/nonexistent/zeptest";
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_Path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_Path; }
  // The path of `name` inside the directory.
  std::string operator/(const std::string& name) const { return m_Path + "/" + name; }

 private:
  std::string m_Path;
};

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_TEMPDIR_H
