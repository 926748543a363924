#include "app/console/console.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "app/account/accountview.h"
#include "base/zepdecimal.h"
#include "base/zepmultithread.h"
#include "base/zeptext.h"
#include "frame/zepframe.h"

namespace {

struct ConsoleCmd_tag {
  const char* m_pszName;
  const char* m_pszArgs;
  void (CConsoleSession::*m_pHandler)(const std::string& arg);
  const char* m_pszHelp;
};

const ConsoleCmd_tag kCommands[] = {
    {"help", "", &CConsoleSession::CmdHelp, "this list"},
    {"status", "", &CConsoleSession::CmdStatus, "one line per account, in file order"},
    {"report", "", &CConsoleSession::CmdReport, "the frame's counts and report"},
    {"sample", "", &CConsoleSession::CmdSample, "bytes per second of every socket over 3 s"},
    {"relogin", "N|all", &CConsoleSession::CmdRelogin,
     "account N (or every account) logs in again now"},
    {"log", "on|off", &CConsoleSession::CmdLog, "copy every new log line to this console, or stop"},
    {"quit", "", &CConsoleSession::CmdQuit, "end this session"},
};

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

void CConsoleSession::Reply(const std::string& text) { Send(text.data(), text.size()); }

void CConsoleSession::ExecuteCmd(ZEPString line) {
  const std::string l = Trimmed(ZEPStdString(line));
  if (l.empty()) return;
  const size_t sp = l.find_first_of(" \t");
  const std::string name = l.substr(0, sp);
  const std::string arg = sp == std::string::npos ? "" : Trimmed(l.substr(sp));
  for (const ConsoleCmd_tag& cmd : kCommands) {
    if (name == cmd.m_pszName) {
      (this->*cmd.m_pHandler)(arg);
      return;
    }
  }
  // The line goes back as it was typed, in the client's own charset.
  Reply("unknown command: ");
  SendRaw(l.data(), l.size());
  Reply("\r\n");
}

void CConsoleSession::CmdHelp(const std::string& /*arg*/) {
  std::string out;
  for (const ConsoleCmd_tag& cmd : kCommands) {
    std::string head = std::string(cmd.m_pszName) + (*cmd.m_pszArgs ? " " : "") + cmd.m_pszArgs;
    head.resize(std::max<size_t>(head.size() + 2, 16), ' ');
    out += head + cmd.m_pszHelp + "\r\n";
  }
  Reply(out);
}

void CConsoleSession::CmdStatus(const std::string& /*arg*/) {
  const int64_t now = ZEPMonoSec();
  std::string out;
  for (SmartPtr<CDYRClient>& c : AccountList(Frame()))
    out += AccountStatusLine(c->GetIndex(), c->GetAccount(), c->GetStatus(), now) + "\r\n";
  if (out.empty()) out = "no account\r\n";
  Reply(out);
}

void CConsoleSession::CmdReport(const std::string& /*arg*/) {
  ZEPString text;
  Frame()->PrintCount(text);
  Frame()->PrintBTree(text);
  Send(text);
}

void CConsoleSession::CmdSample(const std::string& /*arg*/) {
  Reply("sampling for 3 s...\r\n");
  ZEPString table;
  Frame()->PrintSample(&table);
  Send(table);
}

void CConsoleSession::CmdRelogin(const std::string& arg) {
  const bool all = arg == "all";
  // Read as the C library reads it (blanks and a '+' before the digits,
  // nothing after them); a number past any index names no account.
  uint64_t want = 0;
  size_t used = 0;
  if (!all && (ZEPParseDecimal(
                   arg.data(), arg.size(), 0, INT_MAX, want,
                   kZepDecimalBlanks | kZepDecimalPlus | kZepDecimalPrefix | kZepDecimalSaturate,
                   &used) != 0 ||
               used != arg.size() || want == 0)) {
    Reply("usage: relogin N|all\r\n");
    return;
  }
  int sent = 0;
  for (SmartPtr<CDYRClient>& c : AccountList(Frame())) {
    if (!all && c->GetIndex() != static_cast<int>(want)) continue;
    SmartPtr<CUserEvent> ev(Frame()->AllocUserEvent());
    ev->SetTag(DYR_USER_RELOGIN);
    if (Frame()->Enqueue(c.Get(), ev.Get(), true, false)) ++sent;
    ev.Release();
  }
  if (!all && sent == 0) {
    Reply("no account " + arg + "\r\n");
    return;
  }
  Reply("relogin: " + std::to_string(sent) + " account(s)\r\n");
}

void CConsoleSession::CmdLog(const std::string& arg) {
  if (arg != "on" && arg != "off") {
    Reply("usage: log on|off\r\n");
    return;
  }
  if (SetLogCopy(arg == "on") != 0) {
    Reply("log copy refused: every copy slot is taken\r\n");
    return;
  }
  Reply("log copy " + arg + "\r\n");
}

void CConsoleSession::CmdQuit(const std::string& /*arg*/) { Quit(); }
