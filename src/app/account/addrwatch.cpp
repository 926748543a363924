#include "app/account/addrwatch.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "app/account/clientnode.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"
#include "net/zepaddr.h"

namespace {

int OpenRouteSocket(ZEPFrame* frame) {
  return frame->CreateNetlinkSocket(ZEP_NETLINK_ROUTE, ZEP_RTMGRP_LINK | ZEP_RTMGRP_IPV4_IFADDR);
}

// Errors closer than this resume reading only after it.
const unsigned long kResumeAfterMs = 1000;

// Appends `part` to `text`, after a comma when text has something already.
void AddPart(ZEPString& text, const ZEPString& part) {
  if (!text.IsEmpty()) text << ", ";
  text << part;
}

}  // namespace

CDYRAddrWatch::CDYRAddrWatch(ZEPFrame* frame, OpenFn open)
    : CAppNode(frame), m_pOpen(open != nullptr ? open : &OpenRouteSocket) {}

int StartAddrWatch(ZEPFrame* frame) {
  CDYRAddrWatch* node = new CDYRAddrWatch(frame);
  if (frame->AddNode(node, true) == 0) return 0;
  delete node;  // refused: still ours
  return -1;
}

void CDYRAddrWatch::doRunNode() {
  m_nSocket = m_pOpen(Frame());
  if (m_nSocket < 0) {
    const int error = errno;
    ZEP_LOG_LINE(LOG_INFO, "Address events: no route socket ("
                               << strerror(error)
                               << "); the accounts notice address changes by their timers alone.");
    return;
  }
  if (Frame()->AddTCPEvent(this, m_nSocket, 0) != 0) {
    // The frame is stopping (or the node quitting): nobody reads it.
    Frame()->ClearNode(m_nSocket, true);
    return;
  }
  ZEP_LOG_LINE(LOG_INFO,
               "Address events: the kernel's route socket wakes the accounts when an IPv4 "
               "address or a link changes.");
  for (;;) {
    RecvEvent();
    CEvent* ev = Event().Get();
    if (CQuitEvent::Narrow(ev) != nullptr) break;
    if (CTCPEvent* tcp = CTCPEvent::Narrow(ev)) {
      if (tcp->GetSocket() != m_nSocket) continue;
      if (tcp->IsTcpClose()) {
        OnReadError();
      } else if (tcp->IsTcpData()) {
        OnDatagram(tcp);
      }
      continue;
    }
    if (m_ResumeTimer.Matches(CTimerEvent::Narrow(ev))) {
      m_ResumeTimer.Clear();
      m_ResumeBudget.Charge(1, 1, ZEPByteBudget::Now());
      Frame()->SetPaused(m_nSocket, false);
    }
  }
}

void CDYRAddrWatch::OnDatagram(CTCPEvent* ev) {
  // Any process may send to our port id; only the kernel tells changes.
  if (!ZEPIsKernelNetlinkSender(ev->GetSenderAddr(), sizeof(sockaddr_in))) return;
  const ZEPReceived_tag got = ev->Received();
  ZEPRouteNews_tag news;
  ZEPParseRouteMsgs(got.m_pData, got.m_nSize, &news);
  if (!news.Changed()) return;
  LogChange(news);
  TellAccounts();
}

void CDYRAddrWatch::OnReadError() {
  // The kernel reports a full receive buffer as a read error: messages
  // were dropped, so an address may have changed unseen.
  ZEPRouteNews_tag lost;
  lost.m_bBroken = true;
  LogChange(lost);
  TellAccounts();
  // A read error pauses the socket. An error that keeps coming would turn
  // an immediate resume into a busy loop: the second within a second waits.
  const int64_t now = ZEPByteBudget::Now();
  if (!m_ResumeBudget.IsSpent(1, now)) {
    m_ResumeBudget.Charge(1, 1, now);
    Frame()->SetPaused(m_nSocket, false);
  } else if (!m_ResumeTimer.IsSet()) {
    m_ResumeTimer = Frame()->ArmTimer(this, kResumeAfterMs, 1);
  }
}

void CDYRAddrWatch::TellAccounts() {
  SmartPtr<CUserEvent> ev(Frame()->AllocUserEvent());
  ev->SetTag(DYR_USER_ADDRESS_CHANGED);
  Frame()->AllEnqueue(ev.Get(), true);
  ev.Release();
}

void CDYRAddrWatch::LogChange(const ZEPRouteNews_tag& news) {
  const int64_t now = ZEPByteBudget::Now();
  if (m_LogBudget.IsSpent(1, now)) {
    ++m_nUnlogged;
    return;
  }
  m_LogBudget.Charge(1, 1, now);
  ZEPString what;
  int addresses = news.m_nAddrAdded + news.m_nAddrRemoved;
  if (news.m_nAddr != 0) {
    ZEPString part;
    part << ZEPIPv4Text(news.m_nAddr) << (news.m_bAddrAdded ? " added" : " removed")
         << " on interface " << news.m_nIfIndex;
    AddPart(what, part);
    --addresses;
  }
  if (addresses > 0) {
    ZEPString part;
    part << addresses << (news.m_nAddr != 0 ? " more" : "") << " address change(s)";
    AddPart(what, part);
  }
  if (news.m_nLinkUp > 0) AddPart(what, "a link came up");
  if (news.m_bBroken) AddPart(what, "messages that could not all be read");
  ZEPString line;
  line << "Address event: " << what << "; every account acts now";
  if (m_nUnlogged > 0) line << " (" << m_nUnlogged << " earlier change(s) not logged)";
  m_nUnlogged = 0;
  line << ".";
  ZEP_LOG_LINE(LOG_INFO, line);
}
