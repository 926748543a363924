#include "app/daemon/outlets.h"

#include <cstring>

#include "log/zeplog.h"

void CDYROutlets::Start(const char* iniPath) {
  m_Hook.Configure(iniPath);
  m_Hook.Start();
  m_StatusFile.Start();
}

void CDYROutlets::Reload(const char* iniPath, ZEPFrame* frame) {
  const char* what = "none";
  m_Hook.Configure(iniPath, &what);
  if (std::strcmp(what, "none") != 0 && std::strcmp(what, "kept") != 0)
    ZEP_LOG_LINE(LOG_MESG, "Reload: hook " << what << ".");
  m_StatusFile.Sync(frame);
}

void CDYROutlets::Stop() {
  m_Hook.Stop();
  m_StatusFile.Stop();
}
