#include "app/config/hooksection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/zepdecimal.h"
#include "base/zeptext.h"
#include "log/zeplogsafe.h"

int DyrHookTimeout(const ZEPString& text) {
  if (text.IsEmpty()) return kHookDefaultTimeoutSec;
  uint64_t n = 0;
  if (ZEPParseDecimal(text.GetSafeText(), text.GetLength(), 1, kHookMaxTimeoutSec, n) != 0)
    return -1;
  return static_cast<int>(n);
}

ZEPString DyrHookProblem(const DYRHookConf_tag& conf) {
  ZEPString why;
  if (!conf.m_bPresent) return why;
  const ZEPString& cmd = conf.m_strCommand;
  struct stat st {};
  if (cmd.IsEmpty()) {
    why << "[HOOK] has no Command=";
  } else if (cmd.GetSafeText()[0] != '/') {
    why << "[HOOK] Command \"" << ZEPLogSafeText(cmd) << "\" is not an absolute path";
  } else if (stat(cmd.GetSafeText(), &st) != 0) {
    why << "[HOOK] Command " << ZEPLogSafeText(cmd) << ": " << std::strerror(errno);
  } else if (!S_ISREG(st.st_mode) || access(cmd.GetSafeText(), X_OK) != 0) {
    why << "[HOOK] Command " << ZEPLogSafeText(cmd) << " is not an executable file";
  }
  return why;
}

void DyrHookSettings(const DYRHookConf_tag& conf, std::string& command, int& timeout,
                     std::vector<ZEPString>& warnings) {
  command.clear();
  timeout = kHookDefaultTimeoutSec;
  if (!conf.m_bPresent) return;
  const ZEPString why = DyrHookProblem(conf);
  if (!why.IsEmpty()) {
    ZEPString line;
    line << why << ": no hook is run.";
    warnings.push_back(line);
    return;
  }
  command = ZEPStdString(conf.m_strCommand);
  timeout = DyrHookTimeout(conf.m_strTimeout);
  if (timeout < 0) {
    ZEPString line;
    line << "[HOOK] Timeout \"" << ZEPLogSafeText(conf.m_strTimeout)
         << "\" is not a number of seconds from 1 to " << kHookMaxTimeoutSec << ": "
         << kHookDefaultTimeoutSec << " s is taken.";
    warnings.push_back(line);
    timeout = kHookDefaultTimeoutSec;
  }
}
