// messageq.h — CMessageQueue, the inbox of one application node (and the job
// queue of the worker pools).
//
// Owns: the queued events' queue references (one per queued event), the
// chain of their queue links (each event's own link, or a heap link when the
// event sits in another queue too), the per-source count slots and records,
// the event watches and the open flood episodes of its sockets.
//
// Threads: any thread may Enqueue. Every receive (WaitMsg, Dequeue, Peek and
// the counts) works under the receive lock, so receivers on several threads
// are safe; in use a node's queue has one receiver, the node's own thread,
// and a worker pool's threads take turns on the pool's queue, one waiting at
// a time (CThreadPoolMesgQ's waiter lock, threadpool.h). The setters and
// Init run before the queue is shared and take no lock; Fini runs once the
// queue is no longer used, empties it under the receive lock and drops the
// events' references outside it (an event's last reference may end a node,
// whose own queue then finishes).
//
// The hand-off: a producer appending at the tail takes no lock. It counts
// the event against its source (atomics, below), takes the event's link and
// pushes it onto the incoming stack with one compare-and-swap; a receiver,
// under the receive lock, moves the whole stack into the ordered list (in
// push order) before it looks at the list. So the order of one producer's
// events is kept, and events of several producers keep the order of their
// pushes. A push at the head (a receiver putting back an unfinished event)
// takes the receive lock, moves the stack first and links the event before
// everything queued earlier.
//
// Flow control: at the high-water mark (100 by default) of queued events from
// one socket, one socket's command events or one timer, the source is paused
// once; when the count falls back below the mark it is resumed once. A
// timer's count lives in its own record (timerrecord.h), changed with one
// compare-and-swap that names the timer's serial, so ticks of any number of
// timers cost no lock and no search while no timer floods. The count of a socket (or of a tick
// without a record) lives in a slot of a small table, found by key and
// changed with one compare-and-swap (the slot's word carries an epoch, so a
// slot given to another source meanwhile fails the swap). Only the event that
// brings the count to the mark, or below it, takes the flow lock; there the
// paused flag is set to what the count is now, so pauses and resumes
// alternate and the last one matches the count whatever the interleaving.
// Giving a slot to a new source, a source beyond the table (kept in a locked
// list) and the watches also take the flow lock. Each pause and resume is
// counted (GetFlowStats). Sockets are counted per descriptor and generation:
// events of a closed socket whose number a new socket got meanwhile neither
// pause nor resume the new one.
//
// Flood logging: pauses of one socket form episodes (floodepisode.h). The
// first pause of an episode logs "message queue: socket N paused at M queued
// events"; later pauses are only counted, and once the socket has gone 10 s
// without a pause one line gives the episode's pauses and events. A timer's
// pauses form episodes the same way (keyed by its serial); while one is
// open, every tick takes the flow lock to add itself to its timer's episode. The episodes are
// closed by the next receive or pause after the quiet time, and by Fini,
// which also resumes every source the queue still holds paused. The lines
// are decided under the flow lock but written by FlushLog, which every
// receive calls once no queue lock is held. The counts (pauses, episodes,
// events) of the whole process are kept for the frame's report
// (GetFloodTotals).
//
// Locks: the receive lock guards the ordered list and nests no other lock (a
// received event is uncounted after it is left); the flow lock guards the
// slots' paused flags and sources, the overflow records, the watches, the
// statistics and the episodes (clang's thread-safety analysis checks both).
// Under the flow lock the queue calls the flow control's SetFCPaused (the
// frame; it takes the socket engine's lock); it never logs there
// (g_LogMutex is taken by FlushLog with no queue lock held). An enqueue counts its event before it
// takes the receive lock for a head push, so the two queue locks are never held together. A timer
// is paused or resumed through an atomic of its record (no lock). Callers that enqueue while
// holding the ticker, socket-map or node-list lock are fine: both queue locks nest inside all of
// them (see docs/ARCHITECTURE.md). A producer appending at the tail takes neither, unless its event
// is the one that reaches the mark or needs a new slot.
//
// Waking: a receiver that finds nothing announces itself (an atomic count),
// looks once more, and sleeps on the semaphore; a producer releases the
// semaphore only when a receiver announced itself (sequentially consistent
// operations on both sides, so one of them sees the other). A receiver polls
// the semaphore for some microseconds before it blocks; a release while it
// polls is an atomic add, one after it blocked a futex call, which the
// queue counts (GetWakeStats, the frame's report). A selective receive
// with a time-out waits on a condition variable over the receive lock, on the
// monotonic clock; a producer takes the receive lock to notify only while
// such a waiter is counted.
#ifndef ZEP_EVENTS_MESSAGEQ_H
#define ZEP_EVENTS_MESSAGEQ_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <vector>

#include "base/zepconst.h"
#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "events/events.h"
#include "events/eventsink.h"
#include "events/floodepisode.h"

struct TimeEvent_tag;

// Count of queued events from one socket (TCP or command events) beyond the
// slot table.
struct SocketEvent_tag {
  int m_nSocket = -1;
  uint32_t m_nGeneration = 0;
  int m_nCount = 0;
  bool m_bPaused = false;
};

// Count of queued ticks of one timer beyond the slot table. The serial tells
// two timers apart that used the same record slot one after the other.
struct TimerEvent_tag {
  TimeEvent_tag* m_pTimerID = nullptr;
  uint64_t m_nSerial = 0;
  int m_nCount = 0;
  bool m_bPaused = false;
};

// Cap on the number of queued events of one (user-defined) type.
struct UserEventCountNode_tag {
  int m_nEventType = 0;
  unsigned m_nMax = 0;
  int m_nCount = 0;
};

class CMessageQueue {
 public:
  struct FlowStats {
    uint64_t nSocketPauses = 0;   // sockets paused (TCP or command events)
    uint64_t nSocketResumes = 0;  // sockets resumed
    uint64_t nTimerPauses = 0;    // timers paused
    uint64_t nTimerResumes = 0;   // timers resumed (stale timers are not counted)
    uint64_t nRefused = 0;        // events refused by a full watch
    uint64_t nEpisodes = 0;       // flood episodes of its sockets opened
  };
  // Socket pauses, flood episodes (opened) and the events of the closed ones
  // and of the open ones up to their latest pause, over every queue.
  struct FloodTotals {
    uint64_t nPauses = 0;
    uint64_t nEpisodes = 0;
    uint64_t nEvents = 0;
    uint64_t nOpen = 0;  // episodes not yet closed
  };

  // Events received, and the releases that had to wake a receiver blocked
  // in the system (a futex call); a receiver still polling costs none.
  struct WakeStats {
    uint64_t nReceived = 0;
    uint64_t nWakeCalls = 0;
  };

  CMessageQueue();
  ~CMessageQueue();
  CMessageQueue(const CMessageQueue&) = delete;
  CMessageQueue& operator=(const CMessageQueue&) = delete;

  void Init(bool reset);
  void Fini(bool reset);

  // The target of socket pauses (the frame); null: sockets are never paused.
  void SetFrame(ZEPFlowControl* frame) { m_pFrame = frame; }
  // A mark below 1 acts as 1.
  void SetTCPEventHWM(int n) { m_nTCPHWM = n; }
  void SetCmdEventHWM(int n) { m_nCmdHWM = n; }
  void SetTimerEventHWM(int n) { m_nTimerHWM = n; }

  // Offers an event (tail or head); takes one reference when it is accepted.
  void Enqueue(CEvent* e, bool tail);
  // Receivers. The returned event carries the queue's reference.
  CEvent* WaitMsg();
  CEvent* WaitMsg(int type, int timeoutSec);
  CEvent* Dequeue();
  CEvent* Peek();
  CEvent* PeekEvent() { return Peek(); }

  // Caps the queued events of one type at `max` (the first watch of a type
  // stays): 0, or -1 for max 0 and for the kinds under flow control (socket,
  // command and timer events; a WARN line says so).
  int AddEventWatch(int type, unsigned max);

  int GetCount();
  int GetTimeEventCount();
  int GetTCPCount(int sock);
  int GetCmdEventCount(int sock);
  FlowStats GetFlowStats();
  static FloodTotals GetFloodTotals();
  WakeStats GetWakeStats() const;
  // The figures of every queue that has ended (Fini), for process totals.
  static WakeStats GetEndedWakeStats();
  // Closes the flood episodes that have been quiet long enough, at
  // `nowSec` (monotonic seconds; -1: now). Any thread, no queue lock held.
  void CloseQuietEpisodes(int64_t nowSec = -1);
  // Writes the lines about pauses and floods that queues decided on under
  // their locks (they wait until then, so a stalled log output never stalls
  // delivery). Any thread holding no frame or queue lock; every receive and
  // CloseQuietEpisodes call it.
  static void FlushLog();

  // One source's count in the table: the word is the count (low 32 bits), a
  // busy bit (the slot is being given to a source), a keyed bit and an epoch
  // that changes whenever the slot changes hands.
  struct FlowSlot {
    std::atomic<uint64_t> m_nWord{0};
    std::atomic<uint64_t> m_nKey{0};
    std::atomic<uintptr_t> m_nAux{0};  // the timer record, for timer slots
    // Set at the first pause of a flood episode, so the producers count the
    // episode's events (m_nEpisodeEvents) only while one runs.
    std::atomic<bool> m_bInEpisode{false};
    std::atomic<uint64_t> m_nEpisodeEvents{0};
  };
  static const int kSlots = 4;  // per kind; sources beyond go to the records

 private:
  enum Kind { kTCP, kCmd, kTimer, kKinds };
  // The flow lock's part of a slot (and of an overflow record).
  struct SlotState {
    int m_nSocket = -1;
    uint32_t m_nGeneration = 0;
    TimeEvent_tag* m_pTimer = nullptr;
    uint64_t m_nSerial = 0;
    bool m_bPaused = false;
  };
  struct Overflow {
    uint64_t m_nKey = 0;
    uintptr_t m_nAux = 0;
    int m_nCount = 0;
    SlotState m_State;
  };

  // The accounting steps. AddUEventCount and AddEventCount run before the
  // event is pushed, DelEventCount (with DelUEventCount) when a receiver takes
  // it out, so a count never falls below the events it counts.
  bool AddUEventCount(CEvent* e);  // watch check; false refuses the event
  void DelUEventCount(CEvent* e);
  void AddEventCount(CEvent* e);  // per-source counts and pauses
  void DelEventCount(CEvent* e);
  // A tick whose timer has a record is counted there; ticks made without one
  // (tests, hand-made events) are counted in the slots like a socket's events.
  static CTimerEvent* RecordedTick(CEvent* e) {
    if (e->GetEventType() != ZEP_EVENT_TIMER) return nullptr;
    CTimerEvent* tm = CTimerEvent::Narrow(e);
    return tm != nullptr && tm->GetTimerID() != nullptr ? tm : nullptr;
  }
  // The source of a counted event: false for kinds that are not counted.
  static bool SourceOf(CEvent* e, Kind* kind, uint64_t* key, uintptr_t* aux, SlotState* st);
  void CountSlow(Kind kind, uint64_t key, uintptr_t aux, const SlotState& st);
  void Reconcile(Kind kind, FlowSlot* slot);
  // A timer tick counted in its record: a tick while the timer floods adds
  // to its episode, a count at the mark (or just below) sets its pause.
  void CountTimerTick(TimeEvent_tag* rec, uint64_t serial);
  void ReconcileTimer(TimeEvent_tag* rec, uint64_t serial);
  // Sets a source's paused flag to what `count` asks, with the flow lock.
  void ApplyLocked(Kind kind, SlotState& st, int count, FlowSlot* slot) REQUIRES(m_FlowLock);
  // ApplyLocked's part for a timer whose ticks are counted in a slot.
  void ApplyTimerLocked(SlotState& st, int count, FlowSlot* slot, bool want) REQUIRES(m_FlowLock);
  void HarvestLocked(Kind kind, FlowSlot* slot, const SlotState& st) REQUIRES(m_FlowLock);
  // A timer's episode is kept under its serial, split over the two fields a
  // socket's episode uses. These four are inline: the flow control and the
  // episodes' closing (two units) both use them.
  static int EpisodeSocket(Kind kind, const SlotState& st) {
    return kind == kTimer ? static_cast<int>(static_cast<uint32_t>(st.m_nSerial >> 32))
                          : st.m_nSocket;
  }
  static uint32_t EpisodeGeneration(Kind kind, const SlotState& st) {
    return kind == kTimer ? static_cast<uint32_t>(st.m_nSerial) : st.m_nGeneration;
  }
  bool InEpisodeLocked(Kind kind, const SlotState& st) REQUIRES(m_FlowLock) {
    return (kind == kTimer ? m_TimerEpisodes : m_Episodes)
        .IsOpen(EpisodeSocket(kind, st), EpisodeGeneration(kind, st));
  }
  size_t OpenEpisodesLocked() REQUIRES(m_FlowLock) {
    return m_Episodes.OpenCount() + m_TimerEpisodes.OpenCount();
  }
  void CloseEpisodesLocked(int64_t nowSec, bool all) REQUIRES(m_FlowLock);
  int Hwm(Kind kind) const;
  void FiniSlotsLocked() REQUIRES(m_FlowLock);

  int CountOfType(int type);
  void DrainLocked() REQUIRES(m_Lock);
  CEvent* TakeHeadLocked() REQUIRES(m_Lock);
  CEvent* TakeTypeLocked(int type) REQUIRES(m_Lock);  // the first of that type
  CEvent* Received(CEvent* e) EXCLUDES(m_Lock);       // uncounts a received event
  void LinkLocked(ZEPQueueLink* link, bool tail) REQUIRES(m_Lock);
  CEvent* UnlinkLocked(ZEPQueueLink* link) REQUIRES(m_Lock);
  void WakeAfterPush();
  void MaybeCloseEpisodes();

  // The receive lock.
  Mutex m_Lock;
  ZEPQueueLink* m_pHead GUARDED_BY(m_Lock) = nullptr;  // next to deliver
  ZEPQueueLink* m_pTail GUARDED_BY(m_Lock) = nullptr;
  int m_nEvents GUARDED_BY(m_Lock) = 0;
  // Pushed and not yet moved to the list, newest first (m_pNext links).
  std::atomic<ZEPQueueLink*> m_pIncoming{nullptr};
  Semaphore m_Sem;

  FlowSlot m_Slots[kKinds][kSlots];
  Mutex m_FlowLock;
  SlotState m_SlotState[kKinds][kSlots] GUARDED_BY(m_FlowLock);
  std::vector<Overflow> m_Overflow[kKinds] GUARDED_BY(m_FlowLock);
  ZEPList<UserEventCountNode_tag> m_Watches GUARDED_BY(m_FlowLock);
  ZEPFixMem<UserEventCountNode_tag, 100, 10, 10> m_WatchRecPool GUARDED_BY(m_FlowLock);
  std::atomic<int> m_nWatches{0};  // spares the producers the flow lock without watches
  FlowStats m_Stats GUARDED_BY(m_FlowLock);
  ZEPFloodEpisodes m_Episodes GUARDED_BY(m_FlowLock);
  ZEPFloodEpisodes m_TimerEpisodes GUARDED_BY(m_FlowLock);  // keyed by serial
  // Timers counted in their records that this queue holds paused (resumed
  // by Fini).
  struct TimerRef {
    TimeEvent_tag* m_pRec;
    uint64_t m_nSerial;
  };
  std::vector<TimerRef> m_PausedTimers GUARDED_BY(m_FlowLock);
  // While a timer's flood episode is open, each tick takes the flow lock to
  // add itself to its timer's episode, if it has one.
  std::atomic<int> m_nOpenTimerEpisodes{0};
  std::atomic<int> m_nOpenEpisodes{0};          // spares the receivers the clock without episodes
  std::atomic<int64_t> m_nNextEpisodeCheck{0};  // monotonic s of the receivers' next look
  // Set before the queue is shared (no lock).
  int m_nTCPHWM = ZEP_QUEUE_HWM;
  int m_nCmdHWM = ZEP_QUEUE_HWM;
  int m_nTimerHWM = ZEP_QUEUE_HWM;
  ZEPFlowControl* m_pFrame = nullptr;
  std::atomic<int> m_nSleepers{0};  // receivers about to sleep on the semaphore
  std::atomic<int> m_nParked{0};    // receivers blocked in the semaphore's wait
  std::atomic<uint64_t> m_nReceived{0};
  std::atomic<uint64_t> m_nWakeCalls{0};
  std::atomic<int> m_nTimedWaiters{0};  // selective receivers waiting on m_TimedCond
  std::condition_variable_any m_TimedCond;
};

#endif  // ZEP_EVENTS_MESSAGEQ_H
