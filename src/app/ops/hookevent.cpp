#include "app/ops/hookevent.h"

#include "base/zeptext.h"
#include "log/zeplogsafe.h"

namespace {

// What the environment may carry of a text: no zero byte (it would end it).
std::string EnvSafe(const std::string& text) { return std::string(text.c_str()); }

}  // namespace

std::string DyrHookEscaped(const std::string& text) {
  return ZEPStdString(ZEPLogSafeText(text.data(), text.size()));
}

std::vector<std::string> DyrHookEnv(const DYRHookEvent_tag& ev,
                                    const std::vector<std::string>& inherited) {
  std::vector<std::string> env;
  for (const std::string& var : inherited) {
    // Ours are set below; a DYR_ variable of the daemon's must not pass for one.
    if (var.compare(0, 4, "DYR_") != 0) env.push_back(var);
  }
  env.push_back("DYR_EVENT=" + ev.m_strEvent);
  env.push_back("DYR_ACCOUNT=" + std::to_string(ev.m_nAccount));
  env.push_back("DYR_USER=" + EnvSafe(ev.m_strUser));
  env.push_back("DYR_HOST=" + EnvSafe(ev.m_strHost));
  env.push_back("DYR_EGRESS=" + DyrHookEscaped(ev.m_strEgress));
  env.push_back("DYR_CLIENTID=" + DyrHookEscaped(ev.m_strClientID));
  env.push_back("DYR_MESSAGE=" + DyrHookEscaped(ev.m_strMessage));
  if (ev.m_strEvent == "relogin") env.push_back("DYR_REASON=" + ev.m_strReason);
  return env;
}
