// tickerlanes.h — ZEPTickerLanes, the frame's schedule of timer deadlines.
//
// Owns the deadline entries only; the timer records stay the frame's (each
// entry names a record and the arming serial it was made for). Threads: no
// lock of its own and no thread of its own: the frame reaches it only with
// its ticker lock held (AddTicker, the ticker's pass, CleanQuitList).
//
// Timers are kept in lanes, one per period. The frame re-arms a timer at
// "pass time + period" and adds a new one at "now + period", reading the
// clock under its ticker lock, so the due times arriving in one lane never go
// backwards and a lane is a plain FIFO: re-arming costs a push at its back
// and a due timer a pop at its front, whatever the number of timers. Only
// the lanes' fronts sit in a binary heap; a daemon has a handful of periods,
// so that heap is tiny. The ticker sleeps until NextDueUs().
//
// Entries of ended timers (deleted, count run out, node quit) are not looked
// for: they are skipped when they come up, or dropped all at once by
// DropStale when they outnumber the live ones.
#ifndef ZEP_FRAME_TICKERLANES_H
#define ZEP_FRAME_TICKERLANES_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "events/timerrecord.h"

class ZEPTickerLanes {
 public:
  struct Due {
    int64_t m_nDueUs;  // monotonic µs
    TimeEvent_tag* m_pRec;
    uint64_t m_nSerial;    // the arming this entry was made for
    uint32_t m_nInterval;  // ms, the lane's period (set by TakeDue)
  };

  // Schedules the timer armed with `serial` at `rec`, period `intervalMs`,
  // due at `dueUs`.
  void Add(uint32_t intervalMs, int64_t dueUs, TimeEvent_tag* rec, uint64_t serial);
  // Appends to *out every live entry due at `nowUs` (due time <= nowUs),
  // earliest first, and removes them; stale entries that came up are
  // dropped. What the caller re-arms afterwards is not taken again by this
  // call, so a zero period fires once per pass.
  void TakeDue(int64_t nowUs, std::vector<Due>* out);
  // The earliest due time held, stale entries included (INT64_MAX: none).
  int64_t NextDueUs() const { return m_Heap.empty() ? INT64_MAX : m_Heap.front().m_nDueUs; }
  // Drops every stale entry (and the lanes left empty).
  void DropStale();
  size_t size() const { return m_nEntries; }
  size_t LaneCount() const { return m_Lanes.size(); }
  void clear();

 private:
  struct Lane {
    uint32_t m_nInterval = 0;
    std::deque<Due> m_Due;  // due times never decrease front to back
    bool m_bInHeap = false;
  };
  struct Front {
    int64_t m_nDueUs;  // the lane's front due time while it is in the heap
    Lane* m_pLane;
  };
  void PushFront(Lane* lane);
  void RebuildHeap();

  std::map<uint32_t, Lane> m_Lanes;  // node-based: Lane addresses are stable
  std::vector<Front> m_Heap;         // non-empty lanes, earliest front first
  size_t m_nEntries = 0;
};

#endif  // ZEP_FRAME_TICKERLANES_H
