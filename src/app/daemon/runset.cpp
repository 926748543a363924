#include "app/daemon/runset.h"

#include "app/account/clientnode.h"
#include "app/config/inifile.h"
#include "app/console/console.h"
#include "app/ops/hostlimits.h"
#include "base/zepsmallfile.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"

namespace {

void WarnNoAccount(const char* path) { ZEP_LOG_LINE(LOG_WARN, NoAccountText(path)); }

}  // namespace

const char* DyrConsoleChangeText(DYRConsoleChange change) {
  switch (change) {
    case DYRConsoleChange::kNone:
      return "none";
    case DYRConsoleChange::kKept:
      return "kept";
    case DYRConsoleChange::kStopped:
      return "stopped";
    case DYRConsoleChange::kStarted:
      return "started";
    case DYRConsoleChange::kRestarted:
      return "restarted";
  }
  return "none";
}

CDYRRunSet::CDYRRunSet(ZEPFrame* frame, const char* idPath, unsigned long loginRetryMs)
    : m_pFrame(frame), m_strIDPath(idPath), m_nLoginRetryMs(loginRetryMs) {}

int CDYRRunSet::Load(const char* path) {
  std::vector<DYRAccount_tag> accounts;
  if (ReadDyrAccounts(path, accounts) != 0) return -1;
  DyrCheckScaleLimits(accounts.size(), path);
  for (size_t i = 0; i < accounts.size(); ++i) Start(accounts[i], static_cast<int>(i + 1));
  if (accounts.empty()) WarnNoAccount(path);
  ApplyConsole(path);
  return 0;
}

void CDYRRunSet::StartConsole() {
  CConsoleListener* console = new CConsoleListener(m_pFrame);
  console->SetHostPort(m_ConsoleConf.m_strHost, m_ConsoleConf.m_strPort);
  console->SetPlainPasswd(m_ConsoleConf.m_strPassword);
  console->SetCharset(m_ConsoleConf.m_eCharset);
  if (m_pFrame->AddNode(console, true) != 0) {
    console->DestroyMe();
    return;
  }
  m_Console = console;
}

DYRConsoleChange CDYRRunSet::ApplyConsole(const char* path) {
  DYRConsoleConf_tag conf;
  if (ReadDyrConsole(path, conf) != 0) return DYRConsoleChange::kKept;
  for (const ZEPString& warning : ConsoleWarnings(conf)) ZEP_LOG_LINE(LOG_WARN, warning);
  CTelnetdNode* running = dynamic_cast<CTelnetdNode*>(m_Console.Get());
  // A console whose listen failed is tried again at every reload.
  const bool listening =
      running != nullptr && running->GetListenState() >= 0 && m_pFrame->IsNodeRegistered(running);
  if (listening && SameConsole(conf, m_ConsoleConf)) return DYRConsoleChange::kKept;
  const bool stopped = m_Console.Get() != nullptr;
  if (stopped) {
    StopAndWait(m_Console.Get());
    m_Console.Release();
  }
  const DYRConsoleChange noneStarted =
      stopped ? DYRConsoleChange::kStopped : DYRConsoleChange::kNone;
  m_ConsoleConf = conf;
  if (!conf.m_bPresent) return noneStarted;
  ZEPString why = ConsoleProblem(conf);
  if (!why.IsEmpty()) {
    ZEP_LOG_LINE(LOG_WARN, why << ": no console is started.");
    return noneStarted;
  }
  StartConsole();
  if (m_Console.Get() == nullptr) return noneStarted;
  return stopped ? DYRConsoleChange::kRestarted : DYRConsoleChange::kStarted;
}

void CDYRRunSet::Start(const DYRAccount_tag& account, int index) {
  ZEPString domains;
  for (const DYRDomain_tag& d : account.m_Domains) {
    if (!domains.IsEmpty()) domains << " ";
    domains << d.m_strDomain << ";" << d.m_strOffline;
  }
  // What was read, never the password.
  ZEP_LOG_LINE(LOG_INFO,
               "Account: Host=" << account.m_strHost << " MainPort=" << account.m_strMainPort
                                << " AsstPort=" << account.m_strAsstPort
                                << " UserName=" << account.m_strUserName << " Domains=" << domains);
  for (const ZEPString& warning : AccountWarnings(account)) {
    ZEP_LOG_LINE(LOG_WARN, "[DYR_CLIENT] section " << index << " (UserName="
                                                   << account.m_strUserName << "): " << warning);
  }
  // Tried again at the next reload, which reads the password again.
  if (!account.m_strRefused.IsEmpty()) {
    ZEP_LOG_LINE(LOG_WARN, "[DYR_CLIENT] section "
                               << index << " (UserName=" << account.m_strUserName
                               << "): " << account.m_strRefused << ": the account is not started.");
    return;
  }
  if (!account.m_strPasswordFrom.IsEmpty()) {
    ZEP_LOG_LINE(LOG_INFO, "[DYR_CLIENT] section "
                               << index << " (UserName=" << account.m_strUserName
                               << "): password from " << account.m_strPasswordFrom << ".");
  }
  CDYRClient* client = new CDYRClient(m_pFrame, m_nLoginRetryMs);
  client->SetIDFile(m_strIDPath);
  client->SetAccount(account);
  client->SetIndex(index);
  // Refused only when a stop was requested meanwhile.
  if (m_pFrame->AddNode(client, true) != 0) {
    client->DestroyMe();
    return;
  }
  m_Running.push_back(Running_tag{account, client});
}

void CDYRRunSet::StopAndWait(CAppNode* node) {
  // Our reference keeps the node while we wait, though the ticker destroys
  // quitting nodes on its own thread.
  SmartPtr<CAppNode> hold(node);
  SmartPtr<CQuitEvent> quit(m_pFrame->AllocQuitEvent());
  bool sent = m_pFrame->Enqueue(node, quit.Get(), true, false);
  quit.Release();
  if (sent) node->WaitServiceStop();
}

int CDYRRunSet::Reload(const char* path) {
  std::vector<DYRAccount_tag> accounts;
  if (ReadDyrAccounts(path, accounts) != 0) {
    ZEP_LOG_LINE(LOG_WARN, "Reload: cannot read " << path << ": " << ZEPReadFailure(path)
                                                  << "; the "
                                                  << static_cast<unsigned long>(m_Running.size())
                                                  << " running account(s) are kept.");
    return -1;
  }
  // Pair each running account with an equal one of the file, in file order.
  std::vector<bool> kept(accounts.size(), false);
  std::vector<Running_tag> still;
  std::vector<CAppNode*> stopping;
  for (Running_tag& running : m_Running) {
    bool found = false;
    for (size_t i = 0; i < accounts.size() && !found; ++i) {
      if (!kept[i] && SameAccount(running.m_Account, accounts[i])) {
        kept[i] = found = true;
        // Sections above it may have come or gone: its number follows the file.
        static_cast<CDYRClient*>(running.m_pNode)->SetIndex(static_cast<int>(i + 1));
      }
    }
    if (found) {
      still.push_back(running);
    } else {
      stopping.push_back(running.m_pNode);
    }
  }
  m_Running.swap(still);
  const unsigned long nKept = static_cast<unsigned long>(m_Running.size());
  for (CAppNode* node : stopping) StopAndWait(node);
  for (size_t i = 0; i < accounts.size(); ++i) {
    if (!kept[i]) Start(accounts[i], static_cast<int>(i + 1));
  }
  const unsigned long started = static_cast<unsigned long>(m_Running.size()) - nKept;
  if (accounts.empty()) WarnNoAccount(path);
  ZEP_LOG_LINE(LOG_MESG, "Reload of " << path << ": " << nKept << " account(s) kept, "
                                      << static_cast<unsigned long>(stopping.size()) << " stopped, "
                                      << started << " started.");
  const DYRConsoleChange console = ApplyConsole(path);
  if (console != DYRConsoleChange::kNone)
    ZEP_LOG_LINE(LOG_MESG, "Reload: console " << DyrConsoleChangeText(console) << ".");
  return 0;
}
