#include "link/zeplinkbase.h"

#include "base/zepmultithread.h"
#include "frame/zepframe.h"

int64_t ZEPLinkNowMs() { return ZEPMonoMs(); }

void ZEPLinkAppendTime(ZEPString& out, time_t t) {
  char buf[32];
  out << ZEPLocalTimeText(t, buf, sizeof(buf));
}

void ZEPLinkStatusHead(ZEPString& out, time_t start, time_t lastHB) {
  out << "Start time.............: ";
  ZEPLinkAppendTime(out, start);
  out << "\r\n"
      << "Last get HB time.......: ";
  ZEPLinkAppendTime(out, lastHB);
  out << "\r\n";
}

void ZEPLinkQuit(CAppNode* node) {
  ZEPFrame* frame = node->Frame();
  if (frame == nullptr) return;
  SmartPtr<CQuitEvent> quit(frame->AllocQuitEvent());
  frame->Enqueue(node, quit.Get(), true, false);
  quit.Release();
}

ZEPLinkEventKind ZEPLinkClassify(CEvent* e, const ZEPTimerHandle& ticker) {
  if (CQuitEvent::Narrow(e) != nullptr) return kLinkQuit;
  if (CTimerEvent* t = CTimerEvent::Narrow(e)) return ticker.Matches(t) ? kLinkTick : kLinkOther;
  CTCPEvent* ev = CTCPEvent::Narrow(e);
  if (ev == nullptr) return kLinkOther;
  if (ev->IsTcpData()) return kLinkData;
  if (ev->IsTcpClose()) return kLinkClose;
  return kLinkIgnore;
}
