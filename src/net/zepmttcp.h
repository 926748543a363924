// zepmttcp.h — ZEP_MTTcp, the socket engine as several threads share it.
//
// ZEP_MTTcp is ZEPTCP (zeptcp.h) with the operations that take its engine
// lock themselves, so that any thread may call them: AddSocket (ZEPTCP's),
// SetStarted and ClearNode (here; the forms that expect the lock held are
// ZEPTCP's SetStartedLocked and ClearNodeLocked). The frame holds the engine
// lock (GetEngineLock(), through ZEPLockGuard) around Select and its other
// per-socket calls. The frame polls a plain ZEP_MTTcp through Select;
// ZEPThreadTCP (zepthreadtcp.h) derives from it and reads on socket threads.
//
// Threads: any. Locks: SetStarted and ClearNode take the engine lock, and
// inside it the record pool's lock when a record is freed; the caller must
// not hold the engine lock. The thread counts and SweepSockData take none.
#ifndef ZEP_NET_ZEPMTTCP_H
#define ZEP_NET_ZEPMTTCP_H

#include <cstdint>

#include "base/zepthreadsafety.h"
#include "net/zeptcp.h"

class ZEP_MTTcp : public ZEPTCP {
 public:
  ZEP_MTTcp() {}
  ~ZEP_MTTcp() override {}

  // The polling engine: 0 started (or stopped, as bStart says), -1 without a
  // record.
  virtual int SetStarted(int nSocket, bool bStart) EXCLUDES(m_EngineLock);
  // The polling engine: 0, or -1 without a record.
  virtual int ClearNode(int nSocket, bool bClose) EXCLUDES(m_EngineLock);
  virtual int GetTotalThread() { return 0; }
  virtual int GetUsedThread() { return 0; }
  // Milliseconds until the next record falls due, or -1 when none will: the
  // polling engine expires records in Select, so it has nothing to sweep.
  virtual int64_t SweepSockData() { return -1; }
};

#endif  // ZEP_NET_ZEPMTTCP_H
