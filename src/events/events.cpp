#include "events/events.h"

#include <cstring>
#include <new>

void CEvent::Init(bool full) {
  if (full) SetRefCount(0);
  m_pSrcNode = nullptr;
  // Most events never get an id: skip the string work for them.
  if (!m_strEventID.IsEmpty()) m_strEventID = "";
  m_nAppID = 0;
  m_nSrcAppID = 0;
  m_nEventType = ZEP_EVENT_PLAIN;
}

ZEPQueueLink* CEvent::ClaimQueueLink() {
  ZEPQueueLink* link = &m_QLink;
  // Acquire: the queue that released the link last is done with its fields.
  if (m_bQLinkBusy.exchange(true, std::memory_order_acquire)) {
    link = new (std::nothrow) ZEPQueueLink;
    if (link == nullptr) return nullptr;
  }
  link->m_pNext = link->m_pPrev = nullptr;
  link->m_pEvent = this;
  return link;
}

void CEvent::ReleaseQueueLink(ZEPQueueLink* link) {
  CEvent* e = link->m_pEvent;
  link->m_pNext = link->m_pPrev = nullptr;
  if (link == &e->m_QLink) {
    link->m_pEvent = nullptr;
    e->m_bQLinkBusy.store(false, std::memory_order_release);
  } else {
    delete link;
  }
}

void CQuitEvent::Init(bool full) {
  if (full) CEvent::Init(true);
  m_nEventType = ZEP_EVENT_QUIT;
  m_pPool = nullptr;
}

void CTimerEvent::Init(bool full) {
  if (full) CEvent::Init(true);
  m_nEventType = ZEP_EVENT_TIMER;
  m_pPool = nullptr;
}

CTCPEvent::CTCPEvent() {
  std::memset(m_Buffer, 0, sizeof(m_Buffer));
  std::memset(&m_SenderAddr, 0, sizeof(m_SenderAddr));
  Init(false);
}

ZEPReceived_tag CTCPEvent::Received() const {
  const int room = ZEP_TCP_BUFSIZE - m_nBufferOffset;
  const int n = m_nRecvSize < room ? m_nRecvSize : room;
  return ZEPReceived_tag{m_Buffer + m_nBufferOffset, n > 0 ? static_cast<size_t>(n) : 0};
}

void CTCPEvent::Init(bool full) {
  if (full) CEvent::Init(true);
  m_nEventType = ZEP_EVENT_TCP;
  m_pPool = nullptr;
  m_nBufferOffset = 0;
  m_nSocketType = ZEP_PROTO_TCP;
  m_nGeneration = 0;
}

void CUserEvent::Init(bool full) {
  if (full) CEvent::Init(true);
  m_nEventType = ZEP_EVENT_USER;
  m_pPool = nullptr;
  m_pPointer = nullptr;
}

CCmdEvent::CCmdEvent(const GeneralCmd_* cmd, int sock) {
  std::memset(m_Cmd, 0, sizeof(m_Cmd));
  Init(false, cmd, sock);
}

void CCmdEvent::Init(bool full, const GeneralCmd_* cmd, int sock) {
  if (full) CEvent::Init(true);
  m_nEventType = ZEP_EVENT_CMD;
  m_pPool = nullptr;
  m_nSocket = sock;
  m_nGeneration = 0;
  if (cmd != nullptr) std::memcpy(m_Cmd, cmd, sizeof(m_Cmd));
}

CCmdEvent* CCmdEvent::Instance(Pool* pool, const GeneralCmd_* cmd, int sock) {
  if (pool == nullptr) return nullptr;
  CCmdEvent* p = ZEPEventFromPool<CCmdEvent>(pool);
  ZEP_ASSERT(NULL != p);
  p->Init(true, cmd, sock);
  p->m_pPool = pool;
  return p;
}
