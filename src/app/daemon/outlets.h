// outlets.h — where the daemon's account news leaves the process for
// other programs: the status file (statusfile.h) and the event hook
// (hook.h), started, reloaded and stopped together by the entry point.
//
// Owns: one CDYRStatusFile and one CDYRHook.
// Threads: the main thread only (start-up, the service hook's reload, the
// stop); the two it owns run their own threads. Locks: none of its own.
#ifndef ZEP_APP_DAEMON_OUTLETS_H
#define ZEP_APP_DAEMON_OUTLETS_H

#include "app/ops/hook.h"
#include "app/ops/statusfile.h"

class ZEPFrame;

class CDYROutlets {
 public:
  // `dir`: the work directory as composed ("" or ending in "/").
  explicit CDYROutlets(const char* dir) : m_StatusFile(dir) {}

  // Before the accounts start: reads the [HOOK] section of `iniPath`, and
  // both begin to listen.
  void Start(const char* iniPath);
  // Once the accounts have started (`frame` serves their nodes), and after
  // every reload of them: the status file takes the nodes over as they are.
  void Sync(ZEPFrame* frame) { m_StatusFile.Sync(frame); }
  // After a reload of the accounts: the [HOOK] section again (one log line
  // when it changed), and Sync.
  void Reload(const char* iniPath, ZEPFrame* frame);
  // The orderly stop, once the frame has stopped serving: hooks still
  // running are killed (not waited for) and the status file is removed.
  void Stop();

 private:
  CDYRStatusFile m_StatusFile;
  CDYRHook m_Hook;
};

#endif  // ZEP_APP_DAEMON_OUTLETS_H
