// zepservicethread.h — a thread that sleeps until there is work, then runs
// one callback: the status file's writer, the service manager's status
// sender and the hook's runner are each one.
//
// A turn: the callback runs on the thread when work was posted (Post, from
// any thread), when the wake-up time the last turn asked for has come
// (WakeAt), or when a descriptor the last turn watches (Watch) is ready.
// Posts that come while a turn runs make one more turn after it; posts
// that come together make one turn. A post is never lost: one made while
// the thread does not run is taken by the first turn after Start. With a
// least gap (SetMinGapMs) a turn starts no earlier than the gap after the
// end of the one before; what comes inside the gap waits for its end.
//
// Stop: the turn that runs ends, no other starts, and the thread is joined
// before Stop returns; work still pending stays posted. After Stop, what the
// thread used is the caller's again.
//
// Owns: the thread, its wake-up descriptor (eventfd), the posted flag.
// Threads: Post from any thread, also a signal handler (an atomic store and
// an eventfd write). Start, Stop and SetMinGapMs on one controlling thread
// at a time, never the service thread itself. The callback and its
// ZEPServiceTurn on the service thread only.
// Locks: none. Post takes no lock, so a caller may post holding any lock of
// its own; the callback runs with no lock of this unit held.
#ifndef ZEP_BASE_ZEPSERVICETHREAD_H
#define ZEP_BASE_ZEPSERVICETHREAD_H

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/zepmultithread_clock.h"
#include "base/zepmultithread_thread.h"

// What one turn was woken by, and what the next wait waits for.
class ZEPServiceTurn {
 public:
  // Work was posted since the last turn.
  bool Posted() const { return m_bPosted; }
  // The wake-up time asked for at the last turn has come.
  bool Due() const { return m_bDue; }
  // What the last wait saw of a watched descriptor (poll's revents; 0 for
  // nothing, or when it was not watched).
  short Ready(int fd) const;
  // The monotonic time (ZEPMonoMs) at the turn's start.
  int64_t Now() const { return m_nNowMs; }

  // The next wait ends at the latest at `monoMs` (the earliest of several
  // calls counts); without a call it waits for posts and descriptors only.
  void WakeAt(int64_t monoMs);
  // The next wait also ends when `fd` reports one of `events` (POLLIN, ...;
  // POLLHUP and POLLERR always). The caller keeps it open until the turn
  // after that wait.
  void Watch(int fd, short events);

 private:
  friend class ZEPServiceThread;
  bool m_bPosted = false;
  bool m_bDue = false;
  int64_t m_nNowMs = 0;
  std::vector<pollfd> m_Seen;   // the watches of the wait that just ended
  std::vector<pollfd> m_Watch;  // those of the next
  int64_t m_nWakeAtMs = -1;     // -1: none
};

class ZEPServiceThread {
 public:
  using Callback = std::function<void(ZEPServiceTurn& turn)>;

  ZEPServiceThread() = default;
  // Stops the thread.
  ~ZEPServiceThread();
  ZEPServiceThread(const ZEPServiceThread&) = delete;
  ZEPServiceThread& operator=(const ZEPServiceThread&) = delete;

  // The least time from the end of one turn to the start of the next;
  // before Start.
  void SetMinGapMs(int64_t ms) { m_nGapMs = ms > 0 ? ms : 0; }
  // Starts the thread with `fn`: 0, or -1 (EBUSY when it runs, EMFILE and
  // the like when no wake-up descriptor or no thread could be had).
  int Start(Callback fn);
  // Marks work and wakes the thread. Async-signal-safe.
  void Post();
  // Ends the turn that runs, starts no other, joins. Idempotent.
  void Stop();
  bool IsRunning() const { return m_Thread.GetThreadHandle() != nullptr; }

 private:
  static void* Proc(void* self);
  void Loop();
  // Sleeps until the gap after the last turn is over; false when stopping.
  bool WaitGap(int64_t untilMs);
  // Waits for work; false when stopping.
  bool WaitWork(ZEPServiceTurn& turn);

  Callback m_fnRun;
  int64_t m_nGapMs = 0;
  std::atomic<bool> m_bPosted{false};
  std::atomic<bool> m_bStop{false};
  ZEPWakeFd m_Wake;
  Thread m_Thread;
};

#endif  // ZEP_BASE_ZEPSERVICETHREAD_H
