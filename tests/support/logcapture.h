// logcapture.h — the process log of a test: ScopedLog makes a given log the
// process log (zeplog) for a scope, LogCapture is a log that keeps its lines
// in memory for a scope, so tests check what was logged and at which level.
//
// Threads: any thread may log into a capture and read it; installing and
// restoring take g_LogMutex, as does reading the lines (the log appends them
// under it). Scopes nest: each restores the log it found.
#ifndef ZEP_TESTS_SUPPORT_LOGCAPTURE_H
#define ZEP_TESTS_SUPPORT_LOGCAPTURE_H

#include <cstddef>
#include <string>
#include <vector>

#include "base/lockguard.h"
#include "log/zeplog.h"

namespace zeptest {

class ScopedLog {
 public:
  explicit ScopedLog(ZEPLog* log) {
    ZEPLockGuard lock(g_LogMutex);
    m_pBefore = zeplog;
    zeplog = log;
  }
  ~ScopedLog() {
    ZEPLockGuard lock(g_LogMutex);
    zeplog = m_pBefore;
  }
  ScopedLog(const ScopedLog&) = delete;
  ScopedLog& operator=(const ScopedLog&) = delete;

 private:
  ZEPLog* m_pBefore = nullptr;
};

// Neither screen nor file: the lines only, as a file log would write them.
class LogCapture : public ZEPLog {
 public:
  LogCapture() {
    SetToScreen(false);
    SetToFile(false);
    SetLogIt(true);
    ZEPLockGuard lock(g_LogMutex);
    m_pBefore = zeplog;
    zeplog = this;
  }
  ~LogCapture() override {
    ZEPLockGuard lock(g_LogMutex);
    zeplog = m_pBefore;
  }

  std::vector<std::string> Lines() {
    ZEPLockGuard lock(g_LogMutex);
    return m_Lines;
  }
  // Every line, each ended by '\n'.
  std::string Text() {
    ZEPLockGuard lock(g_LogMutex);
    std::string text;
    for (const std::string& l : m_Lines) text += l + '\n';
    return text;
  }
  // Lines holding both `tag` (":WARN:", "WARN", ...) and `text`.
  int Count(const char* tag, const std::string& text) {
    ZEPLockGuard lock(g_LogMutex);
    int n = 0;
    for (const std::string& l : m_Lines)
      n += (l.find(tag) != std::string::npos && l.find(text) != std::string::npos);
    return n;
  }

 protected:
  void PostProcess(char* line) override { m_Lines.emplace_back(line); }  // under g_LogMutex

 private:
  ZEPLog* m_pBefore = nullptr;
  std::vector<std::string> m_Lines;
};

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_LOGCAPTURE_H
