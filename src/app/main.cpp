// Entry point of dyrclient: command line, paths, wizard, log, configuration.
#include <cstdio>

#include "app/applog.h"
#include "app/appshell.h"
#include "app/dyrmsg.h"
#include "app/global.h"
#include "app/inifile.h"
#include "log/tnlog.h"

namespace {

// Until the client nodes run, an account is only reported (never its password).
void LogAccount(DYRAccount_tag* account, void* /*context*/) {
  ZEPString domains;
  for (const DYRDomain_tag& d : account->m_Domains) {
    if (!domains.IsEmpty()) domains << " ";
    domains << d.m_strDomain << ";" << d.m_strOffline;
  }
  DYR_LOG(LOG_MESG, "Account: Host=" << account->m_strHost << " MainPort=" << account->m_strMainPort
                                     << " AsstPort=" << account->m_strAsstPort
                                     << " UserName=" << account->m_strUserName
                                     << " Domains=" << domains);
  delete account;
}

void DestroyLog() {
  g_LogMutex.Acquire();
  ZEPLog* log = zeplog;
  zeplog = nullptr;
  g_LogMutex.Release();
  delete log;
}

}  // namespace

int main(int argc, char** argv) {
  InitDes(g_CredentialKey);
  int paramRc = ParseParam(argc, argv);
  int pathRc = paramRc == 0 ? ComposePaths() : -1;
  bool iniExists = false;
  if (pathRc == 0) {
    FILE* f = std::fopen(szIniFilename, "r");
    iniExists = (f != nullptr);
    if (f) std::fclose(f);
  }
  DoHelp();
  if (g_bNeedHelp) return -1;
  if (pathRc != 0) {
    std::fprintf(stderr, "Work directory too long: the file paths in it must fit %d bytes.\n",
                 DYR_PATH_SIZE - 1);
    return -1;
  }
  if ((!iniExists || g_bNeedConfig) && DoConfig() != 0) return -1;

  ZEPTNLog* log = new ZEPTNLog(nullptr, szLogFilename);
  log->SetToScreen(true);
  zeplog = log;
  DYR_LOG(LOG_MESG, g_szVersionNo);

  SetAccountHandler(LogAccount, nullptr);
  if (ReadDyrIniFile(szIniFilename) != 0) {
    DYR_LOG(LOG_MESG, DYR_MSG_INI_FAILED);
    std::fflush(stdout);
    DestroyLog();
    return -1;
  }
  DYR_LOG(LOG_MESG, DYR_MSG_STARTED);
  DestroyLog();
  return 0;
}
