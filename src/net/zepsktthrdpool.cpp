#include "net/zepsktthrdpool.h"

#include "net/zepthreadtcp.h"

CSockThreadEvent::CSockThreadEvent(ZEPThreadTCP* pEngine, TCPSocketData* pNode)
    : m_pEngine(pEngine), m_pNode(pNode) {}

CSockThreadEvent* CSockThreadEvent::Instance(Pool* pool, ZEPThreadTCP* pEngine,
                                             TCPSocketData* pNode) {
  CSockThreadEvent* p = ZEPEventFromPool<CSockThreadEvent>(pool);
  if (p == nullptr) return nullptr;
  p->CEvent::Init(true);
  p->m_nEventType = ZEP_EVENT_POOLWORK;
  p->m_pPool = pool;
  p->m_pEngine = pEngine;
  p->m_pNode = pNode;
  return p;
}

void CSockThreadEvent::RunWork(Thread* self) {
  if (m_pEngine != nullptr && m_pNode != nullptr) m_pEngine->ProcessPkt(m_pNode, self);
}
