#include "app/config/checkconfig.h"

#include <string>
#include <vector>

#include "app/config/hooksection.h"
#include "app/config/inifile.h"
#include "app/config/workdir.h"
#include "app/proto/protocol.h"
#include "base/zepsmallfile.h"
#include "log/zepecho.h"
#include "log/zeplogsafe.h"

namespace {

// Values come from the file: control characters are shown escaped.
const char* Shown(const ZEPString& value, ZEPString& keep) {
  keep = ZEPLogSafeText(value);
  return keep.GetSafeText();
}

void PrintAccount(FILE* out, int index, const DYRAccount_tag& a) {
  ZEPString host, user, mainPort, asstPort;
  std::fprintf(out, "account %d: Host=%s MainPort=%s AsstPort=%s UserName=%s\n", index,
               Shown(a.m_strHost, host), Shown(a.m_strMainPort, mainPort),
               Shown(a.m_strAsstPort, asstPort), Shown(a.m_strUserName, user));
  if (!a.m_strPasswordFrom.IsEmpty())
    std::fprintf(out, "  password: from %s\n", a.m_strPasswordFrom.GetSafeText());
  for (const DYRDomain_tag& d : a.m_Domains) {
    ZEPString domain, offline;
    if (d.m_strOffline.IsEmpty()) {
      std::fprintf(out, "  Domain=%s (no offline target)\n", Shown(d.m_strDomain, domain));
    } else {
      std::fprintf(out, "  Domain=%s offline target %s\n", Shown(d.m_strDomain, domain),
                   Shown(d.m_strOffline, offline));
    }
  }
  for (const ZEPString& warning : AccountWarnings(a)) {
    std::fprintf(out, "WARN: [DYR_CLIENT] section %d (UserName=%s): %s\n", index,
                 user.GetSafeText(), warning.GetSafeText());
  }
  if (!a.m_strRefused.IsEmpty()) {
    std::fprintf(out,
                 "WARN: [DYR_CLIENT] section %d (UserName=%s): %s: the account is not started.\n",
                 index, user.GetSafeText(), a.m_strRefused.GetSafeText());
  }
}

void PrintConsole(FILE* out, const char* path) {
  DYRConsoleConf_tag conf;
  if (ReadDyrConsole(path, conf) != 0 || !conf.m_bPresent) return;
  for (const ZEPString& warning : ConsoleWarnings(conf))
    std::fprintf(out, "WARN: %s\n", warning.GetSafeText());
  ZEPString why = ConsoleProblem(conf);
  if (!why.IsEmpty()) {
    std::fprintf(out, "WARN: %s: no console is started.\n", why.GetSafeText());
    return;
  }
  ZEPString host, port;
  std::fprintf(out, "console: %s:%s\n", Shown(conf.m_strHost, host), Shown(conf.m_strPort, port));
  if (!conf.m_strPasswordFrom.IsEmpty())
    std::fprintf(out, "  password: from %s\n", conf.m_strPasswordFrom.GetSafeText());
}

void PrintHook(FILE* out, const char* path) {
  DYRHookConf_tag conf;
  if (ReadDyrHook(path, conf) != 0 || !conf.m_bPresent) return;
  std::string command;
  int timeout = 0;
  std::vector<ZEPString> warnings;
  DyrHookSettings(conf, command, timeout, warnings);
  for (const ZEPString& warning : warnings) std::fprintf(out, "WARN: %s\n", warning.GetSafeText());
  if (command.empty()) return;
  ZEPString shown;
  std::fprintf(out, "hook: %s, time-out %d s\n", Shown(conf.m_strCommand, shown), timeout);
}

}  // namespace

int DyrCheckConfig(const char* iniPath, FILE* out, FILE* err) {
  std::vector<DYRAccount_tag> accounts;
  bool exists = false;
  ZEPString why;
  // A missing file is an error here: the daemon would start its wizard.
  if (CheckIniFile(iniPath, exists, why) != 0 || !exists ||
      ReadDyrAccounts(iniPath, accounts) != 0) {
    std::fprintf(err, "dyrclient: cannot read %s: %s\n", iniPath, ZEPReadFailure(iniPath));
    return -1;
  }
  std::fprintf(out, "%s:\n", iniPath);
  for (size_t i = 0; i < accounts.size(); ++i)
    PrintAccount(out, static_cast<int>(i + 1), accounts[i]);
  PrintConsole(out, iniPath);
  PrintHook(out, iniPath);
  std::fflush(out);
  if (accounts.empty()) {
    std::fprintf(err, "dyrclient: %s\n", NoAccountText(iniPath).GetSafeText());
    return -1;
  }
  unsigned long n = 0;
  for (const DYRAccount_tag& a : accounts) n += a.m_strRefused.IsEmpty() ? 1 : 0;
  const unsigned long refused = static_cast<unsigned long>(accounts.size()) - n;
  std::fprintf(out, "%lu account%s would run.\n", n, n == 1 ? "" : "s");
  std::fflush(out);
  // A reload after this check would stop the running node of such a
  // section: failing here keeps it (the unit's ExecReload= runs the check
  // first).
  if (refused > 0) {
    std::fprintf(err, "dyrclient: %lu account%s of %s would not start (see the WARN lines).\n",
                 refused, refused == 1 ? "" : "s", iniPath);
    return -1;
  }
  return 0;
}

namespace {

// `stream`, or a journal stream over its descriptor when that is the
// journal's (then `journal` is set and must be closed).
FILE* JournalOr(FILE* stream, const char* journalStream, int priority, FILE*& journal) {
  journal = nullptr;
  const int fd = fileno(stream);
  if (fd < 0 || !ZEPIsJournalStream(journalStream, fd)) return stream;
  std::fflush(stream);
  journal = ZEPOpenJournalFile(fd, priority);
  return journal != nullptr ? journal : stream;
}

}  // namespace

int DyrCheckConfigCommand(const char* iniPath, const char* journalStream, FILE* out, FILE* err) {
  const int kErr = 3, kInfo = 6;  // syslog(3)'s priorities
  FILE* journalOut = nullptr;
  FILE* journalErr = nullptr;
  FILE* o = JournalOr(out, journalStream, kInfo, journalOut);
  FILE* e = JournalOr(err, journalStream, kErr, journalErr);
  const int rc = DyrCheckConfig(iniPath, o, e);
  if (journalOut != nullptr) std::fclose(journalOut);
  if (journalErr != nullptr) std::fclose(journalErr);
  return rc;
}
