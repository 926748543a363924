// runset.h — CDYRRunSet, what the daemon runs from its configuration file:
// one client node per [DYR_CLIENT] section, the administration console of
// the [CONSOLE] section, and the reload that brings them in line with the
// file again.
//
// Owns: a copy of every running account with a pointer to its node. The
// frame owns the nodes; a node leaves the frame only when this set tells it
// to quit or at the frame's shutdown, so the pointers stay valid while the
// frame serves. The console's listener may end on its own (a port that is
// taken), so the set holds a reference on it, which ReleaseConsole drops
// before the frame is destroyed.
//
// Threads: the main thread, which reads the file at start-up and serves the
// frame (a reload runs in the frame's service hook). Not thread-safe.
// Locks: none of its own; waiting for a quitting node takes that node's
// lock (CAppNode::WaitServiceStop) with no other lock held.
#ifndef ZEP_APP_DAEMON_RUNSET_H
#define ZEP_APP_DAEMON_RUNSET_H

#include <cstddef>
#include <string>
#include <vector>

#include "app/config/inifile.h"
#include "app/proto/protocol.h"
#include "base/zeptlist.h"

class CAppNode;
class ZEPFrame;

// What bringing the console in line with the file did: there was none and
// is none, the listening one is kept, the one there was is stopped, a first
// one started, or the one there was replaced by a new one.
enum class DYRConsoleChange { kNone, kKept, kStopped, kStarted, kRestarted };
// Its word in a reload's log line: "none", "kept", "stopped", "started" or
// "restarted".
const char* DyrConsoleChangeText(DYRConsoleChange change);

class CDYRRunSet {
 public:
  // Nodes are created with `loginRetryMs` (0: the client's default) and
  // keep their client id in the file `idPath` ("": in memory only).
  CDYRRunSet(ZEPFrame* frame, const char* idPath, unsigned long loginRetryMs = 0);

  // Reads `path` and starts a node per account. 0, or -1 when the file cannot
  // be read (nothing started then). Warns when there is no account at all,
  // and first logs how many accounts the limits in force let run
  // (hostlimits.h).
  int Load(const char* path);
  // Reads `path` again: an unchanged account keeps its node, a vanished one
  // has its node quit (the node sends the offline request), a new or changed
  // one gets a new node once every quitting node has ended (so the server
  // sees the old offline before the new login). Passwords kept in files are
  // read again, and one that changed makes its section a changed one. An
  // unreadable file keeps everything. Logs one line with what it did; 0, or -1 when unreadable.
  int Reload(const char* path);
  size_t GetCount() const { return m_Running.size(); }
  // Once the frame has stopped serving, before it is destroyed.
  void ReleaseConsole() { m_Console.Release(); }

 private:
  struct Running_tag {
    DYRAccount_tag m_Account;
    CAppNode* m_pNode;
  };
  // Logs the account and what is wrong with it, and hands a new node to the
  // frame, unless the account is refused (its password could not be read);
  // `index` counts sections from 1 in file order.
  void Start(const DYRAccount_tag& account, int index);
  void StopAndWait(CAppNode* node);
  // Reads the [CONSOLE] section and brings the console in line with it: an
  // unchanged section keeps a listening console, a changed one restarts it
  // (its sessions end), a removed one stops it. A file that cannot be read
  // keeps the console as it is (kKept).
  DYRConsoleChange ApplyConsole(const char* path);
  void StartConsole();

  ZEPFrame* m_pFrame;
  std::string m_strIDPath;
  unsigned long m_nLoginRetryMs;
  std::vector<Running_tag> m_Running;
  DYRConsoleConf_tag m_ConsoleConf;
  SmartPtr<CAppNode> m_Console;
};

#endif  // ZEP_APP_DAEMON_RUNSET_H
