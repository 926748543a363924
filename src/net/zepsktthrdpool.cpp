#include "net/zepsktthrdpool.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>

#include "base/zepassert.h"
#include "frame/zepframe.h"

namespace {
long Now() { return static_cast<long>(time(NULL)); }
}  // namespace

// ---------------------------------------------------------------- ZEP_MTTcp

int ZEP_MTTcp::AddSocket(TCPSocketData* pNode) {
  ZEPEngineGuard guard(this);
  return ZEPTCP::AddSocket(pNode);
}

int ZEP_MTTcp::SetStarted(int nSocket, bool bStart) {
  ZEPEngineGuard guard(this);
  return ZEPTCP::SetStarted(nSocket, bStart);
}

int ZEP_MTTcp::ClearNode(int nSocket, bool bClose) {
  ZEPEngineGuard guard(this);
  return ZEPTCP::ClearNode(nSocket, bClose);
}

// --------------------------------------------------------- CSockThreadEvent

CSockThreadEvent::CSockThreadEvent(ZEPThreadTCP* pEngine, TCPSocketData* pNode)
    : m_pEngine(pEngine), m_pNode(pNode) {
  m_nEventType = ZEP_EVENT_POOLWORK;
}

CSockThreadEvent* CSockThreadEvent::Instance(Pool* pool, ZEPThreadTCP* pEngine,
                                             TCPSocketData* pNode) {
  CSockThreadEvent* p = ZEPEventFromPool<CSockThreadEvent>(pool);
  if (p == NULL) return NULL;
  p->CEvent::Init(true);
  p->SetRefCount(0);
  p->m_nEventType = ZEP_EVENT_POOLWORK;
  p->m_pPool = pool;
  p->m_pEngine = pEngine;
  p->m_pNode = pNode;
  return p;
}

// -------------------------------------------------------- ZEPSockThreadPool

CEvent* ZEPSockThreadPool::CSockThreadPoolMesgQ::WaitMsg() {
  m_WaitLock.Acquire();
  CEvent* ev = m_Queue.WaitMsg();
  m_WaitLock.Release();
  return ev;
}

ZEPSockThreadPool::ZEPSockThreadPool(int n) : m_nGrowth(n > 0 ? n : 1), m_nBusy(0) {
  m_CountLock.Acquire();
  AddNewThreads();
  m_CountLock.Release();
}

ZEPSockThreadPool::~ZEPSockThreadPool() { DestroyAllThread(); }

// Count lock held.
void ZEPSockThreadPool::AddNewThreads() {
  for (int i = 0; i < m_nGrowth; ++i) {
    Thread* t = new Thread;
    ThreadArg* arg = new ThreadArg{this, t};
    if (!t->Create(&ZEPSockThreadPool::thread_proc, arg)) {
      delete arg;
      delete t;
      continue;
    }
    m_ThreadList.AddTail(t);
  }
}

void ZEPSockThreadPool::Enqueue(CEvent* ev, bool bTail) { m_Queue.m_Queue.Enqueue(ev, bTail); }

int ZEPSockThreadPool::GetThreadCount() {
  m_CountLock.Acquire();
  int n = m_ThreadList.GetCount();
  m_CountLock.Release();
  return n;
}

int ZEPSockThreadPool::GetBusyCount() {
  m_CountLock.Acquire();
  int n = m_nBusy;
  m_CountLock.Release();
  return n;
}

void ZEPSockThreadPool::DestroyAllThread() {
  m_CountLock.Acquire();
  int n = m_ThreadList.GetCount();
  m_CountLock.Release();
  for (int i = 0; i < n; ++i) Enqueue(new CQuitEvent(), true);
  // Threads are added only while a thread runs a socket; every socket has
  // been told to end by now, so the list no longer grows.
  for (;;) {
    m_CountLock.Acquire();
    Thread* t = m_ThreadList.RemoveHead();
    m_CountLock.Release();
    if (t == NULL) break;
    t->Wait();
    delete t;
  }
}

void* ZEPSockThreadPool::thread_proc(void* arg) {
  ThreadArg* a = static_cast<ThreadArg*>(arg);
  ZEPSockThreadPool* pool = a->pPool;
  for (;;) {
    CEvent* ev = pool->m_Queue.WaitMsg();
    if (CQuitEvent::Narrow(ev) != NULL) {
      ev->downcount();
      break;
    }
    CSockThreadEvent* job = CSockThreadEvent::Narrow(ev);
    if (job != NULL) {
      pool->m_CountLock.Acquire();
      if (++pool->m_nBusy == pool->m_ThreadList.GetCount()) pool->AddNewThreads();
      pool->m_CountLock.Release();
      job->GetEngine()->ProcessPkt(job->GetNode(), a->pThread);
      pool->m_CountLock.Acquire();
      --pool->m_nBusy;
      pool->m_CountLock.Release();
      if (a->pThread->GetPriority() != 2) a->pThread->SetPriority(2);
    }
    ev->downcount();
  }
  delete a;
  return NULL;
}

// ------------------------------------------------------------- ZEPThreadTCP

ZEPThreadTCP::ZEPThreadTCP(ZEPFrame* pFrame) : m_Pool(5), m_pFrame(pFrame) {}

ZEPThreadTCP::~ZEPThreadTCP() {
  // A thread returns to the pool only when its socket ends; end them all so
  // that the pool can be joined.
  Lock();
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != NULL;
       p = m_SocketList.GetNext(&cursor)) {
    if (!p->m_bStarted.load()) continue;
    p->m_bCloseOnClear = true;
    p->m_bClosePending = true;
    p->Wake();
  }
  cursor.Release();
  Unlock();
  m_Pool.DestroyAllThread();
}

int ZEPThreadTCP::SetStarted(int nSocket, bool bStart) {
  if (!bStart) return 3;
  TCPSocketData* p;
  {
    ZEPEngineGuard guard(this);
    p = SeekSocket(nSocket);
    if (p == NULL) return 1;
    if (p->m_bStarted.load()) return 2;
    p->m_bStarted = true;
    p->m_bPaused = false;
  }
  // Started, the record is no longer freed by anyone but its socket thread
  // (ClearNode and the sweep only mark it), so it may be handed over after
  // the engine lock is left: the pool's queue lock never nests inside it.
  m_Pool.Enqueue(new CSockThreadEvent(this, p), true);
  return 0;
}

int ZEPThreadTCP::ClearNode(int nSocket, bool bClose) {
  ZEPEngineGuard guard(this);
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == NULL) return 1;
  if (p->m_bStarted.load()) {
    // Its socket thread owns it and finishes it.
    p->m_bCloseOnClear = bClose;
    p->m_bClosePending = true;
    p->Wake();
    return 0;
  }
  ZEPTCP::ClearNode(nSocket, bClose);
  return 0;
}

void ZEPThreadTCP::SweepSockData() {
  ZEPEngineGuard guard(this);
  long now = Now();
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != NULL;
       p = m_SocketList.GetNext(&cursor)) {
    long die = p->m_nTime2Die.load();
    bool started = p->m_bStarted.load();
    bool expired = (die != 0 && now >= die) ||
                   (!started && now - p->m_nCreateTime >= p->m_nStartTimeout.load());
    if (!expired) continue;
    if (started) {
      if (!p->m_bClosePending.load()) {
        p->m_bClosePending = true;
        p->Wake();
      }
      continue;
    }
    RemoveAtCursor(cursor, p);
    DropRecord(p, true);
  }
}

CTCPEvent* ZEPThreadTCP::NewEvent(TCPSocketData* pNode) {
  CTCPEvent* ev = m_pFrame->AllocTCPEvent();
  ev->SetCreateTime(time(NULL));
  ev->SetSocket(pNode->m_nSocket);
  ev->SetSocketType(pNode->m_nProtocol);
  return ev;
}

void ZEPThreadTCP::Dispatch(CTCPEvent* ev, int nSocket) {
  // Our own reference across the call: an event no node took goes back to
  // its pool when we drop it.
  ev->upcount();
  m_pFrame->EnqueueTCP(ev, nSocket);
  ev->downcount();
}

int ZEPThreadTCP::Finish(TCPSocketData* pNode, CTCPEvent* ev, ssize_t n, bool bTry) {
  if (n < 0 && bTry && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    ev->upcount();
    ev->downcount();  // back to the pool unsent
    return -1;
  }
  if (n > 0) {
    ev->SetRC(ZEP_RC_DATA);
    ev->SetRecvSize(static_cast<int>(n));
  } else {
    // End of stream or an error (for a datagram socket: a refused port, or
    // an empty datagram): code 3, and the socket pauses until resumed.
    n = 0;
    ev->SetRC(ZEP_RC_CLOSE);
    ev->SetRecvSize(0);
    ZEPEngineGuard guard(this);
    pNode->m_bPaused = true;
  }
  Dispatch(ev, pNode->m_nSocket);
  return static_cast<int>(n);
}

int ZEPThreadTCP::RecvTCPData(TCPSocketData* pNode, bool bTry) {
  CTCPEvent* ev = NewEvent(pNode);
  // A stream has no sender per read; the peer stands in for it.
  *ev->GetSenderAddr() = pNode->m_Addr;
  ssize_t n;
  do {
    n = recv(pNode->m_nSocket, ev->GetRawBuffer(), static_cast<size_t>(GetSelectSize()),
             bTry ? MSG_DONTWAIT : 0);
  } while (n < 0 && errno == EINTR);
  return Finish(pNode, ev, n, bTry);
}

int ZEPThreadTCP::RecvUDPData(TCPSocketData* pNode, bool bTry) {
  CTCPEvent* ev = NewEvent(pNode);
  sockaddr_in* from = ev->GetSenderAddr();
  std::memset(from, 0, sizeof(*from));
  socklen_t len = sizeof(*from);
  ssize_t n;
  do {
    n = recvfrom(pNode->m_nSocket, ev->GetRawBuffer(),
                 static_cast<size_t>(CTCPEvent::GetBufferSize()), bTry ? MSG_DONTWAIT : 0,
                 reinterpret_cast<sockaddr*>(from), &len);
  } while (n < 0 && errno == EINTR);
  return Finish(pNode, ev, n, bTry);
}

int ZEPThreadTCP::Accept(TCPSocketData* pNode) {
  sockaddr_in peer;
  int s = AcceptRaw(pNode->m_nSocket, &peer);
  if (s < 0) return -1;
  {
    ZEPEngineGuard guard(this);
    if (IsRefused(peer)) {
      CloseSocket(s);
      return -1;
    }
  }
  AcceptChild(pNode, s, peer, false);
  CTCPEvent* ev = NewEvent(pNode);
  ev->SetRC(ZEP_RC_NEW);
  std::memcpy(ev->GetRawBuffer(), &s, sizeof(int));
  ev->SetRecvSize(sizeof(int));
  *ev->GetSenderAddr() = peer;
  Dispatch(ev, pNode->m_nSocket);
  return s;
}

bool ZEPThreadTCP::IsOverload(TCPSocketData* pNode, int nBytes) {
  long now = Now();
  if (now != pNode->m_nThreadSecond) {
    pNode->m_nThreadSecond = static_cast<int>(now);
    pNode->m_nThreadBytes = nBytes;
    return false;
  }
  pNode->m_nThreadBytes += nBytes;
  if (pNode->m_nThreadBytes < pNode->m_nBandwidth.load()) return false;
  while (Now() == now && !pNode->m_bClosePending.load()) ZEPSleep(1);
  pNode->m_nThreadSecond = static_cast<int>(Now());
  pNode->m_nThreadBytes = 0;
  return true;
}

void ZEPThreadTCP::WaitWhilePaused(TCPSocketData* pNode) {
  while (pNode->IsHeld() && !pNode->m_bClosePending.load()) {
    std::unique_lock<std::mutex> lk(pNode->m_WaitLock);
    pNode->m_WaitCond.wait_for(lk, std::chrono::milliseconds(1), [pNode] {
      return !pNode->IsHeld() || pNode->m_bClosePending.load();
    });
  }
}

void ZEPThreadTCP::FinishRecord(TCPSocketData* pNode) {
  ZEPEngineGuard guard(this);
  SmartPtr<CListNode> cursor;
  TCPSocketData* p = m_SocketList.GetFirst(&cursor);
  while (p != NULL && p != pNode) p = m_SocketList.GetNext(&cursor);
  // An owned record stays listed until its thread finishes it here.
  RemoveAtCursor(cursor, pNode);
  DropRecord(pNode, pNode->m_bCloseOnClear.load());
}

int ZEPThreadTCP::ReadOnce(TCPSocketData* pNode, bool bTry) {
  if (pNode->m_nKind == ZEP_SOCK_SERVER && pNode->m_nProtocol == ZEP_PROTO_TCP)
    return Accept(pNode) >= 0 ? 4 : 0;
  if (pNode->m_nProtocol == ZEP_PROTO_UDP) return RecvUDPData(pNode, bTry);
  return RecvTCPData(pNode, bTry);
}

void ZEPThreadTCP::ProcessPkt(TCPSocketData* pNode, Thread* pThread) {
  int prio = pNode->m_nPriority.load();
  if (prio != 2) pThread->SetPriority(prio);
  const bool bListener = pNode->m_nKind == ZEP_SOCK_SERVER && pNode->m_nProtocol == ZEP_PROTO_TCP;
  // While data keeps coming, try the next read before polling: one system
  // call per event instead of two. Nothing is read that poll() would not
  // have reported.
  bool bFlowing = false;
  while (!pNode->m_bClosePending.load()) {
    int n = -1;
    if (bFlowing && !pNode->IsHeld()) n = ReadOnce(pNode, true);
    if (n < 0) {
      pollfd pfd;
      pfd.fd = pNode->m_nSocket;
      pfd.events = POLLIN | POLLRDNORM;
      pfd.revents = 0;
      int rc = poll(&pfd, 1, 1000);
      if (rc < 0 && errno != EINTR) {
        // Nothing more can be read: wait for the owner to let the socket go.
        while (!pNode->m_bClosePending.load()) {
          std::unique_lock<std::mutex> lk(pNode->m_WaitLock);
          pNode->m_WaitCond.wait_for(lk, std::chrono::milliseconds(1),
                                     [pNode] { return pNode->m_bClosePending.load(); });
        }
        break;
      }
      // A pause set while we waited in poll() holds too: what arrived stays
      // in the kernel instead of being read for no one (a node detached
      // without closing expects to find it when it comes back).
      if (rc > 0 && !pNode->m_bClosePending.load() && !pNode->IsHeld()) n = ReadOnce(pNode, false);
    }
    bFlowing = n > 0 && !bListener;
    if (n >= 0) {
      IsOverload(pNode, n);
      if (n > 0 && pNode->m_bGetOnePacket.load()) {
        ZEPEngineGuard guard(this);
        pNode->m_bPaused = true;
      }
    }
    int now = pNode->m_nPriority.load();
    if (now != prio) {
      prio = now;
      pThread->SetPriority(prio);
    }
    WaitWhilePaused(pNode);
  }
  FinishRecord(pNode);
}
