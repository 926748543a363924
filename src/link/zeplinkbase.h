// zeplinkbase.h — what the two heartbeat link nodes share: their clocks, the
// status time format and their log lines.
//
// Owns nothing. Any thread (ZEPLinkClassify: the receiving node's); the log line is written under
// g_LogMutex (the innermost lock).
#ifndef ZEP_LINK_ZEPLINKBASE_H
#define ZEP_LINK_ZEPLINKBASE_H

#include <cstdint>
#include <ctime>

#include "base/zepstring.h"
#include "events/appnode.h"
#include "log/zeplog.h"

// Spans are measured on the monotonic clock in milliseconds, so a clock step
// neither clears a live link nor keeps a dead one; the status shows wall time.
int64_t ZEPLinkNowMs();
// The time in local time as the frame report writes it (ZEPLocalTimeText).
void ZEPLinkAppendTime(ZEPString& out, time_t t);
void ZEPLinkLog(const char* unit, int line, LOG_TYPE_ level, ZEPString& text);
// The two status lines both links open with.
void ZEPLinkStatusHead(ZEPString& out, time_t start, time_t lastHB);
// Enqueues a quit event from the frame's pool to `node` itself.
void ZEPLinkQuit(CAppNode* node);

// What a link's loop does with the event it received.
enum ZEPLinkEventKind {
  kLinkQuit,   // leave the loop
  kLinkTick,   // the link's own one-second ticker
  kLinkData,   // TCP data
  kLinkClose,  // the peer closed
  kLinkOther,  // anything else: the OtherEvent hook (other TCP codes are dropped)
  kLinkIgnore,
};
ZEPLinkEventKind ZEPLinkClassify(CEvent* e, const TimeEvent_tag* ticker);

#define ZEP_LINK_LOG(unit, level, parts)             \
  do {                                               \
    ZEPString zepLinkLine_;                          \
    zepLinkLine_ << parts;                           \
    ZEPLinkLog(unit, __LINE__, level, zepLinkLine_); \
  } while (0)

#endif  // ZEP_LINK_ZEPLINKBASE_H
