// timerrecord.h — TimeEvent_tag, the frame's record of one timer.
//
// Owns nothing: records live in the frame's ticker record pool and are
// listed in m_TickerList; the record's address is the timer id nodes keep.
// Threads: the timing fields are guarded by the frame's ticker lock and are
// reached only through TimingLocked(lock), which clang's thread-safety
// analysis lets only a holder of that lock call. The state word (arming
// serial and paused flag) is atomic because a node's message queue pauses
// and resumes the timer without the ticker lock (the queue lock nests inside
// it, and the ticker's pass may be the one delivering into that queue).
//
// A record slot is reused after its timer ends. Each arming takes a new
// serial that is never reused, and a pause, a resume or a deletion names the
// serial it means, so a queue still holding ticks of an ended timer, or a
// node holding its id, cannot touch the timer that now occupies the same
// slot: the compare-and-swap (or the frame's serial check) simply fails.
//
// The record also keeps the count of the timer's ticks queued at its node
// (the node's message queue counts and uncounts them here, lock-free): one
// word holds the arming serial's low 40 bits and the count, so re-arming
// starts a fresh count and a stale tick of an ended timer, whose serial no
// longer matches, is neither counted nor uncounted. A timer's ticks go to
// one node, so one count per record is enough.
#ifndef ZEP_EVENTS_TIMERRECORD_H
#define ZEP_EVENTS_TIMERRECORD_H

#include <atomic>
#include <cstdint>

#include "base/zepassert.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"

class CAppNode;

struct TimeEvent_tag {
  // What the ticker lock guards, in the record's order.
  struct Timing {
    int64_t m_nLastUs = 0;     // monotonic µs when added or last fell due
    uint32_t m_nInterval = 0;  // period in ms
    int32_t m_nCount = 0;      // > 0: firings left; <= 0: until deleted
    CAppNode* m_pNode = nullptr;
    uint32_t m_nAppID = 0;  // stamped on every tick of this timer
  };
  // `tickerLock` is the frame's ticker lock, held by the caller.
  Timing& TimingLocked(const Mutex& tickerLock) REQUIRES(tickerLock) {
    static_cast<void>(tickerLock);
    return m_Timing;
  }

  // Arms the record with a fresh serial, unpaused; the frame does so before
  // it lists the record, and disarms it (no serial matches it any more) as
  // the record leaves the list. The word is atomic: no lock is needed.
  uint64_t Arm() {
    uint64_t serial = s_nNextSerial.fetch_add(1, std::memory_order_relaxed);
    m_Queued.store(QueuedTag(serial), std::memory_order_release);
    m_State.store(serial << 1, std::memory_order_release);
    return serial;
  }
  void Disarm() {
    m_State.store(0, std::memory_order_release);
    m_Queued.store(0, std::memory_order_release);
  }

  uint64_t GetSerial() const { return m_State.load(std::memory_order_acquire) >> 1; }
  bool IsPaused() const { return (m_State.load(std::memory_order_acquire) & 1) != 0; }

  // Pauses or resumes the timer armed with `serial`; false (and nothing
  // written) when the record no longer carries that serial or already had
  // that state. Any thread, no lock needed.
  bool SetPaused(uint64_t serial, bool paused) {
    uint64_t expected = (serial << 1) | (paused ? 0 : 1);
    return m_State.compare_exchange_strong(expected, (serial << 1) | (paused ? 1 : 0),
                                           std::memory_order_acq_rel);
  }

  // The queued-tick count of the timer armed with `serial`, after adding
  // `delta` (+1 as a tick is queued, -1 as it is received, 0 to read it);
  // -1 (and nothing written) when the record carries another arming now.
  int AddQueued(uint64_t serial, int delta) {
    const uint64_t tag = QueuedTag(serial);
    uint64_t w = m_Queued.load(std::memory_order_acquire);
    for (;;) {
      if ((w & ~kQueuedCountMask) != tag) return -1;
      const uint64_t count = w & kQueuedCountMask;
      // A count at its limit would carry into the serial; the queue pauses
      // the timer at its mark, far below it, and uncounts only what it counted.
      ZEP_ASSERT(delta >= 0 ? count + static_cast<uint64_t>(delta) <= kQueuedCountMask
                            : count >= static_cast<uint64_t>(-delta));
      if (delta == 0) return static_cast<int>(count);
      const uint64_t next = tag | (count + static_cast<uint64_t>(static_cast<int64_t>(delta)));
      if (m_Queued.compare_exchange_weak(w, next, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
        return static_cast<int>(next & kQueuedCountMask);
    }
  }

 private:
  static constexpr int kQueuedCountBits = 24;
  static constexpr uint64_t kQueuedCountMask = (1ull << kQueuedCountBits) - 1;
  // Serials are 64-bit; their low 40 bits tell armings apart here, enough
  // for a trillion armings of timers before two could be confused.
  static uint64_t QueuedTag(uint64_t serial) { return serial << kQueuedCountBits; }

  Timing m_Timing;
  std::atomic<uint64_t> m_State{0};
  std::atomic<uint64_t> m_Queued{0};  // serial (low 40 bits) and queued count
  static inline std::atomic<uint64_t> s_nNextSerial{1};
};

#endif  // ZEP_EVENTS_TIMERRECORD_H
