// logcapture.h — installs a log that keeps its lines in memory for the
// length of a scope, so tests can check what was logged and at which level.
#ifndef ZEP_TESTS_CMD_LOGCAPTURE_H
#define ZEP_TESTS_CMD_LOGCAPTURE_H

#include <string>
#include <vector>

#include "log/zeplog.h"

class LogCapture : public ZEPLog {
 public:
  LogCapture() {
    SetToScreen(false);
    SetToFile(false);
    SetLogIt(true);
    g_LogMutex.Acquire();
    m_pBefore = zeplog;
    zeplog = this;
    g_LogMutex.Release();
  }
  ~LogCapture() override {
    g_LogMutex.Acquire();
    zeplog = m_pBefore;
    g_LogMutex.Release();
  }
  // Lines holding both `tag` ("WARN", ...) and `text`.
  int Count(const char* tag, const std::string& text) {
    g_LogMutex.Acquire();
    int n = 0;
    for (const std::string& l : m_Lines)
      n += (l.find(tag) != std::string::npos && l.find(text) != std::string::npos);
    g_LogMutex.Release();
    return n;
  }

 protected:
  void PostProcess(char* line) override { m_Lines.emplace_back(line); }  // under g_LogMutex

 private:
  ZEPLog* m_pBefore = nullptr;
  std::vector<std::string> m_Lines;
};

#endif  // ZEP_TESTS_CMD_LOGCAPTURE_H
