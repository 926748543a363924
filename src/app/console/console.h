// console.h — the daemon's administration console: the telnet listener
// the [CONSOLE] section of dyrclient.ini asks for, and the console node that
// answers its commands (help, status, report, sample, relogin, log, quit).
//
// Owns: nothing beyond the telnet nodes it derives from. The accounts it
// shows and tells to log in again are the frame's client nodes, found by
// walking the frame's node list; a cursor or a held reference keeps each
// alive while it is used.
//
// Answers: the daemon's text, sent in the [CONSOLE] Charset (UTF-8 unless
// GB2312) through Send; the part of an answer that repeats a typed line goes
// back as it was typed.
//
// Threads: every command runs on its console node's own worker; "sample"
// blocks that worker for the 3 s of the sample and no other thread. Locks:
// the frame's node-list lock (inside the cursor walk), a client's status
// lock (leaf) one at a time, g_LogMutex for log lines; none is held while
// sending on the connection.
#ifndef ZEP_APP_CONSOLE_CONSOLE_H
#define ZEP_APP_CONSOLE_CONSOLE_H

#include <string>

#include "app/account/clientnode.h"
#include "telnet/telnetd.h"

class CDYRConsole : public CTelnetClientNode {
 public:
  CDYRConsole(ZEPFrame* frame, CTelnetdNode* owner) : CTelnetClientNode(frame, owner) {}
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

class CDYRConsoled : public CTelnetdNode {
 public:
  explicit CDYRConsoled(ZEPFrame* frame, const TelnetLimits_tag& limits = TelnetLimits_tag())
      : CTelnetdNode(frame, limits) {}
  void DestroyMe() override { delete this; }
  CTelnetClientNode* NewClientNode() override { return new CDYRConsole(Frame(), this); }
};

#endif  // ZEP_APP_CONSOLE_CONSOLE_H
