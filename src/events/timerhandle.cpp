#include "events/timerhandle.h"

#include "events/events.h"

ZEPTimerHandle::ZEPTimerHandle(TimeEvent_tag* id, uint64_t serial)
    : m_pID(serial != 0 ? id : nullptr), m_nSerial(id != nullptr ? serial : 0) {}

bool ZEPTimerHandle::Matches(const CTimerEvent* tick) const {
  return tick != nullptr && m_pID != nullptr && tick->GetTimerID() == m_pID &&
         tick->GetTimerSerial() == m_nSerial;
}
