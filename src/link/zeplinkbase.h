// zeplinkbase.h — what the two heartbeat link nodes share: their clock, the
// status lines they open with, their quit, and how their loops sort events.
//
// Owns nothing. Any thread; ZEPLinkClassify on the receiving node's, on the
// event it received. ZEPLinkQuit takes the frame's locks inside its calls
// (pool, node-list, queue); the others take no lock.
#ifndef ZEP_LINK_ZEPLINKBASE_H
#define ZEP_LINK_ZEPLINKBASE_H

#include <cstdint>
#include <ctime>

#include "base/zepstring.h"
#include "events/appnode.h"
#include "events/timerhandle.h"

// Spans are measured on the monotonic clock in milliseconds, so a clock step
// neither clears a live link nor keeps a dead one; the status shows wall time.
int64_t ZEPLinkNowMs();
// The time in local time as the frame report writes it (ZEPLocalTimeText).
void ZEPLinkAppendTime(ZEPString& out, time_t t);
// The two status lines both links open with.
void ZEPLinkStatusHead(ZEPString& out, time_t start, time_t lastHB);
// Enqueues a quit event from the frame's pool to `node` itself.
void ZEPLinkQuit(CAppNode* node);

// What a link's loop does with the event it received.
enum ZEPLinkEventKind {
  kLinkQuit,    // leave the loop
  kLinkTick,    // the link's own one-second ticker
  kLinkData,    // TCP data
  kLinkClose,   // the peer closed
  kLinkOther,   // not a TCP event, nor the link's quit or ticker: the OtherEvent hook
  kLinkIgnore,  // another TCP code: the client drops it, the server child hands
                // it to OtherEvent
};
// `ticker` is the link's own arming: a late tick of an ended timer whose
// record the ticker now uses is not the ticker's (kLinkOther).
ZEPLinkEventKind ZEPLinkClassify(CEvent* e, const ZEPTimerHandle& ticker);

#endif  // ZEP_LINK_ZEPLINKBASE_H
