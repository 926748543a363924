// console.h — the daemon's administration console: the telnet listener
// the [CONSOLE] section of dyrclient.ini asks for, and the console node that
// answers its commands (help, status, report, sample, relogin, log, quit).
//
// Owns: nothing beyond the telnet nodes it derives from. The accounts it
// shows and tells to log in again are the frame's client nodes, as the
// account view lists them (accountview.h), which holds each while it is
// used.
//
// Answers: the daemon's text, sent in the [CONSOLE] Charset (UTF-8 unless
// GB2312) through Send; the part of an answer that repeats a typed line goes
// back as it was typed.
//
// Threads: every command runs on its console node's own worker; "sample"
// blocks that worker for the 3 s of the sample and no other thread. Locks:
// the frame's node-list lock (inside the account view's walk), a client's status
// lock (leaf) one at a time, g_LogMutex for log lines; none is held while
// sending on the connection.
#ifndef ZEP_APP_CONSOLE_CONSOLE_H
#define ZEP_APP_CONSOLE_CONSOLE_H

#include <string>

#include "app/account/clientnode.h"
#include "telnet/telnetd.h"

// One console connection: reads the commands and answers them.
class CConsoleSession : public CTelnetClientNode {
 public:
  CConsoleSession(ZEPFrame* frame, CTelnetdNode* owner) : CTelnetClientNode(frame, owner) {}
  void DestroyMe() override { delete this; }
  void ExecuteCmd(ZEPString line) override;

  // The command handlers, by their table entry; `arg` is the rest of the line.
  void CmdHelp(const std::string& arg);
  void CmdStatus(const std::string& arg);
  void CmdReport(const std::string& arg);
  void CmdSample(const std::string& arg);
  void CmdRelogin(const std::string& arg);
  void CmdLog(const std::string& arg);
  void CmdQuit(const std::string& arg);

 private:
  void Reply(const std::string& text);
};

// The console's listening port: a session for every connection it takes.
class CConsoleListener : public CTelnetdNode {
 public:
  explicit CConsoleListener(ZEPFrame* frame, const TelnetLimits_tag& limits = TelnetLimits_tag())
      : CTelnetdNode(frame, limits) {}
  void DestroyMe() override { delete this; }
  CTelnetClientNode* NewClientNode() override { return new CConsoleSession(Frame(), this); }
};

#endif  // ZEP_APP_CONSOLE_CONSOLE_H
