#include "link/zeplinkbase.h"

#include <cstdio>

#include "base/zepmultithread.h"
#include "frame/zepframe.h"

int64_t ZEPLinkNowMs() { return ZEPMonoMs(); }

void ZEPLinkAppendTime(ZEPString& out, time_t t) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  char buf[80];
  std::snprintf(buf, sizeof(buf), "%04d/%02d/%02d %02d:%02d:%02d", tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  out << buf;
}

void ZEPLinkLog(const char* unit, int line, LOG_TYPE_ level, ZEPString& text) {
  g_LogMutex.Acquire();
  if (zeplog != nullptr) zeplog->Log(unit, line, level, text);
  g_LogMutex.Release();
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

ZEPLinkEventKind ZEPLinkClassify(CEvent* e, const TimeEvent_tag* ticker) {
  if (CQuitEvent::Narrow(e) != nullptr) return kLinkQuit;
  if (CTimerEvent* t = CTimerEvent::Narrow(e))
    return t->GetTimerID() == ticker ? kLinkTick : kLinkOther;
  CTCPEvent* ev = CTCPEvent::Narrow(e);
  if (ev == nullptr) return kLinkOther;
  if (ev->IsTcpData()) return kLinkData;
  if (ev->IsTcpClose()) return kLinkClose;
  return kLinkIgnore;
}
