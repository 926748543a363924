#include "app/daemon/outlets.h"

#include "log/zeplog.h"

void CDYROutlets::Start(const char* iniPath) {
  m_Hook.Configure(iniPath);
  m_Hook.Start();
  m_StatusFile.Start();
}

void CDYROutlets::Reload(const char* iniPath, ZEPFrame* frame) {
  const DYRHookChange change = m_Hook.Configure(iniPath);
  if (change != DYRHookChange::kNone && change != DYRHookChange::kKept)
    ZEP_LOG_LINE(LOG_MESG, "Reload: hook " << DyrHookChangeText(change) << ".");
  m_StatusFile.Sync(frame);
}

void CDYROutlets::Stop() {
  m_Hook.Stop();
  m_StatusFile.Stop();
}
