// logcapture.h — installs a log that keeps its lines in memory for the
// length of a scope, so tests can check what was logged and at which level.
#ifndef ZEP_TESTS_CMD_LOGCAPTURE_H
#define ZEP_TESTS_CMD_LOGCAPTURE_H

#include <string>
#include <vector>

#include "base/lockguard.h"
#include "log/zeplog.h"

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
  // Lines holding both `tag` ("WARN", ...) and `text`.
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

#endif  // ZEP_TESTS_CMD_LOGCAPTURE_H
