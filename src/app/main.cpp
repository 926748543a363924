// Entry point of dyrclient: command line, paths, wizard, the frame with one
// DDNS client node per [DYR_CLIENT] section, and the orderly stop.
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "app/applog.h"
#include "app/appshell.h"
#include "app/dyrclient.h"
#include "app/dyrmsg.h"
#include "app/global.h"
#include "app/inifile.h"
#include "frame/zepframe.h"
#include "log/tnlog.h"

namespace {

// The frame a stop signal ends. ExitFrame only stores a flag and writes the
// frame's wake-up descriptor, so the handler does nothing else; the service loop notices it
// and runs the node shutdown (offline requests) on its own thread.
std::atomic<ZEPFrame*> g_pStopFrame{nullptr};
static_assert(std::atomic<ZEPFrame*>::is_always_lock_free, "used in a signal handler");

void OnStopSignal(int /*sig*/) {
  ZEPFrame* frame = g_pStopFrame.load();
  if (frame != nullptr) frame->ExitFrame();
}

// SIGUSR2: the frame's report with one line per account, written to the log
// by the service loop; the handler only asks for it (an atomic store and a
// write to the frame's wake-up descriptor).
void OnReportSignal(int /*sig*/) {
  ZEPFrame* frame = g_pStopFrame.load();
  if (frame != nullptr) frame->RequestReport();
}

void SetReportHandler(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR2, &sa, nullptr);
}

void SetStopHandler(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

// Each finished [DYR_CLIENT] section becomes a started client node.
int g_nAccountsRead = 0;

// A file saved with CR-LF ends reads as having no [DYR_CLIENT] section; the
// daemon would run without accounts and say nothing. Tell the user why.
void WarnIfCrLf(const char* path) {
  ZEPString text;
  if (text.LoadFromFile(path) != 0) return;
  if (HasCrLfClientHeader(text.GetText(), text.GetLength())) {
    DYR_LOG(LOG_WARN, "No [DYR_CLIENT] section read: "
                          << path << " has CR-LF line ends; save it with LF line ends.");
  }
}

void StartClient(DYRAccount_tag* account, void* /*context*/) {
  ++g_nAccountsRead;
  ZEPString domains;
  for (const DYRDomain_tag& d : account->m_Domains) {
    if (!domains.IsEmpty()) domains << " ";
    domains << d.m_strDomain << ";" << d.m_strOffline;
  }
  // What was read, never the password.
  DYR_LOG(LOG_INFO, "Account: Host=" << account->m_strHost << " MainPort=" << account->m_strMainPort
                                     << " AsstPort=" << account->m_strAsstPort << " UserName="
                                     << account->m_strUserName << " Domains=" << domains);
  CDYRClient* client = new CDYRClient(g_pFrame);
  client->SetAccount(*account);
  delete account;
  // Refused only when a stop was requested while the file was being read.
  if (g_pFrame->AddNode(client, true) != 0) client->DestroyMe();
}

// Destroys the frame, then the log, and clears both globals.
void DestroyFrameAndLog() {
  g_pStopFrame.store(nullptr);
  delete g_pFrame;
  g_pFrame = nullptr;
  g_LogMutex.Acquire();
  ZEPLog* log = zeplog;
  zeplog = nullptr;
  g_LogMutex.Release();
  delete log;
}

void FinishApp() {
  DYR_LOG(LOG_MESG, DYR_MSG_STOPPED);
  DestroyFrameAndLog();
}

}  // namespace

// Orderly stop for a caller that runs the frame on a service thread of its own.
void ShutdownApp() {
  if (g_pFrame == nullptr) return;
  g_pFrame->ExitFrame();
  g_pFrame->WaitServiceStop();
  FinishApp();
}

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

  g_pFrame = new ZEPFrame(true, true);
  g_pStopFrame.store(g_pFrame);
  SetStopHandler(OnStopSignal);
  g_pFrame->SetReportHook(DyrReportAccounts);
  SetReportHandler(OnReportSignal);
  ZEPTNLog* log = new ZEPTNLog(g_pFrame, szLogFilename);
  log->SetToScreen(true);
  g_LogMutex.Acquire();
  zeplog = log;
  g_LogMutex.Release();
  DYR_LOG(LOG_MESG, g_szVersionNo);

  SetAccountHandler(StartClient, nullptr);
  if (ReadDyrIniFile(szIniFilename) != 0) {
    DYR_LOG(LOG_MESG, DYR_MSG_INI_FAILED);
    std::fflush(stdout);
    SetStopHandler(SIG_DFL);
    SetReportHandler(SIG_IGN);
    DestroyFrameAndLog();
    return -1;
  }
  if (g_nAccountsRead == 0) WarnIfCrLf(szIniFilename);
  DYR_LOG(LOG_MESG, DYR_MSG_STARTED);
  g_pFrame->Run();
  // Stopping already: a further signal must not cut the teardown short.
  SetStopHandler(SIG_IGN);
  SetReportHandler(SIG_IGN);
  FinishApp();
  return 0;
}
