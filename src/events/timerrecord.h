// timerrecord.h — TimeEvent_tag, the frame's record of one timer.
//
// Owns nothing: records live in the frame's ticker record pool and are
// listed in m_TickerList; the record's address is the timer id nodes keep.
// Threads: every field but the state word is guarded by the frame's ticker
// lock. The state word (arming serial and paused flag) is atomic because a
// node's message queue pauses and resumes the timer without the ticker lock
// (it already holds node-list and queue locks, which nest inside it).
//
// A record slot is reused after its timer is deleted. Each arming takes a new
// serial that is never reused, and a pause or resume names the serial it means,
// so a queue still holding ticks of a deleted timer cannot resume (or pause)
// the timer that now occupies the same slot: the compare-and-swap simply fails.
#ifndef ZEP_EVENTS_TIMERRECORD_H
#define ZEP_EVENTS_TIMERRECORD_H

#include <atomic>
#include <cstdint>

class CAppNode;

struct TimeEvent_tag {
  int64_t m_nLastUs = 0;     // monotonic µs when added or last fell due
  uint32_t m_nInterval = 0;  // period in ms
  int32_t m_nCount = 0;      // > 0: firings left; <= 0: until deleted
  CAppNode* m_pNode = nullptr;
  uint32_t m_nAppID = 0;  // stamped on every tick of this timer

  // Arms the record with a fresh serial, unpaused. Ticker lock held.
  uint64_t Arm() {
    uint64_t serial = s_nNextSerial.fetch_add(1, std::memory_order_relaxed);
    m_State.store(serial << 1, std::memory_order_release);
    return serial;
  }
  // Marks the record free: no serial matches it any more. Ticker lock held.
  void Disarm() { m_State.store(0, std::memory_order_release); }

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

 private:
  std::atomic<uint64_t> m_State{0};
  static inline std::atomic<uint64_t> s_nNextSerial{1};
};

#endif  // ZEP_EVENTS_TIMERRECORD_H
