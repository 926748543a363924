// timerhandle.h — ZEPTimerHandle, what a node keeps to know one of its
// timers again: the record address (the timer id) and the serial of the
// arming it holds.
//
// A record slot serves another timer once its timer ends, so the address
// alone may name a newer timer; the arming serial is never reused. A tick
// is this timer's only when both match (Matches), and the frame deletes a
// timer through a handle only while that arming still runs
// (ZEPFrame::DisarmTimer). ZEPFrame::ArmTimer hands handles out.
//
// Owns nothing: a plain value, copied freely. Threads: none of its own; a
// handle is read and written by the thread of the node that keeps it. Takes
// no lock.
#ifndef ZEP_EVENTS_TIMERHANDLE_H
#define ZEP_EVENTS_TIMERHANDLE_H

#include <cstdint>

struct TimeEvent_tag;
class CTimerEvent;

class ZEPTimerHandle {
 public:
  // The empty handle: no timer, matches no tick.
  ZEPTimerHandle() = default;
  // Serial 0 is no arming (serials start at 1): such a handle stays empty.
  ZEPTimerHandle(TimeEvent_tag* id, uint64_t serial);

  // True while the handle names an arming; the timer itself may have ended
  // since (a one-shot that fired, its node quit): the frame tells that.
  bool IsSet() const { return m_pID != nullptr; }
  TimeEvent_tag* GetID() const { return m_pID; }
  uint64_t GetSerial() const { return m_nSerial; }

  // True when `tick` is a tick of this arming; false for a null event, for
  // an empty handle and for a late tick of an earlier timer of the same
  // record.
  bool Matches(const CTimerEvent* tick) const;

  void Clear() {
    m_pID = nullptr;
    m_nSerial = 0;
  }

  bool operator==(const ZEPTimerHandle& o) const {
    return m_pID == o.m_pID && m_nSerial == o.m_nSerial;
  }
  bool operator!=(const ZEPTimerHandle& o) const { return !(*this == o); }

 private:
  TimeEvent_tag* m_pID = nullptr;
  uint64_t m_nSerial = 0;
};

#endif  // ZEP_EVENTS_TIMERHANDLE_H
