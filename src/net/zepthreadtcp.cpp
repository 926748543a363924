#include "net/zepthreadtcp.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "base/zepbytebudget.h"
#include "log/zeplog.h"

ZEPThreadTCP::ZEPThreadTCP(ZEPSocketSink* pSink) : m_Pool(ZEP_POOL_GROWTH), m_pSink(pSink) {}

ZEPThreadTCP::~ZEPThreadTCP() {
  // A thread returns to the pool only when its socket ends; end them all so
  // that the pool can be joined.
  {
    ZEPLockGuard lock(m_EngineLock);
    SmartPtr<CListNode> cursor;
    for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != nullptr;
         p = m_SocketList.GetNext(&cursor)) {
      if (!p->m_bStarted.load()) continue;
      p->m_bCloseOnClear = true;
      p->m_bClosePending = true;
      WakeOwnerLocked(p);
    }
  }
  m_Pool.DestroyAllThread();
}

int ZEPThreadTCP::SetStarted(int nSocket, bool bStart) {
  if (!bStart) return 3;
  TCPSocketData* p;
  {
    ZEPLockGuard lock(m_EngineLock);
    p = SeekSocket(nSocket);
    if (p == nullptr) return 1;
    if (p->m_bStarted.load()) return 2;
    p->m_bStarted = true;
    p->m_bPaused = false;
  }
  // Started, the record is no longer freed by anyone but its socket thread
  // (ClearNode and the sweep only mark it), so it may be handed over after
  // the engine lock is left: the pool's queue lock never nests inside it.
  SmartPtr<CSockThreadEvent> job(new CSockThreadEvent(this, p));
  NoteThreadRoom(nSocket);
  m_Pool.Enqueue(job.Get(), true);
  return 0;
}

void ZEPThreadTCP::NoteThreadRoom(int nSocket) {
  // The pool grows whenever its last free thread takes a socket, so a pool
  // with every thread busy could not start one: the socket waits until
  // another ends. Growing once more tells whether that still holds.
  if (m_Pool.GetBusyCount() < m_Pool.GetThreadCount()) {
    if (uint64_t waited = m_ThreadShortage.Recovered(ZEPMonoMs()))
      ZEP_LOG_LINE(LOG_INFO, "Socket threads can be started again; "
                                 << waited << " socket(s) had to wait for one meanwhile.");
    return;
  }
  const int before = m_Pool.GetThreadCount();
  m_Pool.AddNewThreads();
  if (m_Pool.GetThreadCount() > before) return;
  if (m_ThreadShortage.Failed(ZEPMonoMs())) {
    ZEP_LOG_LINE(LOG_WARN, "No socket thread can be started (the pool has "
                               << before << ", all busy; a limit on threads is reached: "
                               << "RLIMIT_NPROC, the cgroup's pids.max, kernel.threads-max or "
                               << "pid_max): socket " << nSocket
                               << " is not read until a socket ends (said once until then).");
  }
}

int ZEPThreadTCP::ClearNode(int nSocket, bool bClose) {
  ZEPLockGuard lock(m_EngineLock);
  TCPSocketData* p = SeekSocket(nSocket);
  if (p == nullptr) return 1;
  if (p->m_bStarted.load()) {
    // Its socket thread owns it and finishes it.
    p->m_bCloseOnClear = bClose;
    p->m_bClosePending = true;
    WakeOwnerLocked(p);
    return 0;
  }
  ClearNodeLocked(nSocket, bClose);
  return 0;
}

void ZEPThreadTCP::DeadlineAddedLocked(int64_t dueMs) {
  // Only a deadline earlier than the planned sweep needs the service loop;
  // a later one is found by that sweep.
  if (dueMs >= m_nSweepDueMs) return;
  m_nSweepDueMs = dueMs;
  if (m_pSink != nullptr) m_pSink->WakeSweep();
}

int64_t ZEPThreadTCP::SweepSockData() {
  ZEPLockGuard lock(m_EngineLock);
  const int64_t now = ZEPMonoMs();
  int64_t next = INT64_MAX;
  SmartPtr<CListNode> cursor;
  for (TCPSocketData* p = m_SocketList.GetFirst(&cursor); p != nullptr;
       p = m_SocketList.GetNext(&cursor)) {
    bool started = p->m_bStarted.load();
    if (started && p->m_bClosePending.load()) continue;  // ending already
    int64_t due = p->ExpiryMs();
    if (now < due) {
      if (due < next) next = due;
      continue;
    }
    if (started) {
      p->m_bClosePending = true;
      WakeOwnerLocked(p);
      continue;
    }
    ExpireLocked(p);
  }
  m_nSweepDueMs = next;
  return next == INT64_MAX ? -1 : next - now;
}

CTCPEvent* ZEPThreadTCP::NewEvent(TCPSocketData* pNode) {
  CTCPEvent* ev = m_pSink->AllocTCPEvent();
  ev->SetCreateTime(time(nullptr));
  ev->SetSocket(pNode->m_nSocket);
  ev->SetSocketType(pNode->m_nProtocol);
  ev->SetGeneration(pNode->m_nGeneration);
  return ev;
}

void ZEPThreadTCP::Dispatch(CTCPEvent* ev, TCPSocketData* pNode) {
  // Our own reference across the call: an event no node took goes back to
  // its pool when we drop it.
  ev->upcount();
  // The record's route, when it has one, is this socket's own: nothing to
  // look up, and nothing of another socket of the same number to meet.
  if (ZEPSocketRoute* route = pNode->m_pRoute.load(std::memory_order_acquire))
    route->Deliver(ev);
  else
    m_pSink->EnqueueTCP(ev, pNode->m_nSocket);
  ev->downcount();
}

int ZEPThreadTCP::Finish(TCPSocketData* pNode, CTCPEvent* ev, ssize_t n, bool bTry) {
  if (n < 0 && bTry && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    ev->upcount();
    ev->downcount();  // back to the pool unsent
    return -1;
  }
  if (n > 0) {
    ev->SetRC(ZEP_TCP_DATA);
    ev->SetRecvSize(static_cast<int>(n));
  } else {
    // End of stream or an error (for a datagram socket: a refused port, or
    // an empty datagram): code 3, and the socket pauses until resumed.
    n = 0;
    ev->SetRC(ZEP_TCP_CLOSE);
    ev->SetRecvSize(0);
    PauseOwned(pNode);
  }
  Dispatch(ev, pNode);
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

namespace {
const int kAcceptFirstPauseMs = 50;
const int kAcceptLongestPauseMs = 1000;
}  // namespace

void ZEPThreadTCP::AcceptFailed(TCPSocketData* pNode, int error) {
  if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return;
  m_nAcceptFailures.fetch_add(1);
  ++pNode->m_nAcceptFailedRun;
  if (pNode->m_nAcceptPauseMs == 0) {
    // The connection stays in the backlog; retrying at once would spin.
    const char* what = error == EMFILE || error == ENFILE
                           ? "out of descriptors: accepting pauses until one is free, errno "
                           : "out of memory: accepting pauses until there is room, errno ";
    ZEP_LOG_LINE(LOG_WARN, "listener " << pNode->m_strIP << ":" << pNode->m_nLocalPort << " "
                                       << what << error);
    pNode->m_nAcceptPauseMs = kAcceptFirstPauseMs;
  } else if (pNode->m_nAcceptPauseMs < kAcceptLongestPauseMs) {
    pNode->m_nAcceptPauseMs = std::min(pNode->m_nAcceptPauseMs * 2, kAcceptLongestPauseMs);
  }
  // A close or a stop wakes the wait at once.
  WaitWake(pNode, pNode->m_nAcceptPauseMs);
}

int ZEPThreadTCP::Accept(TCPSocketData* pNode) {
  sockaddr_in peer;
  int s = AcceptRaw(pNode->m_nSocket, &peer);
  if (s < 0) {
    AcceptFailed(pNode, errno);
    return -1;
  }
  if (pNode->m_nAcceptPauseMs != 0) {
    ZEP_LOG_LINE(LOG_INFO, "listener " << pNode->m_strIP << ":" << pNode->m_nLocalPort
                                       << " accepts again; accepts failed meanwhile: "
                                       << pNode->m_nAcceptFailedRun);
    pNode->m_nAcceptPauseMs = 0;
    pNode->m_nAcceptFailedRun = 0;
  }
  {
    ZEPLockGuard lock(m_EngineLock);
    if (IsRefusedLocked(peer)) {
      CloseSocket(s);
      return -1;
    }
  }
  AddSocket(NewChildRecord(pNode, s, peer));
  CTCPEvent* ev = NewEvent(pNode);
  ev->SetRC(ZEP_TCP_NEW);
  std::memcpy(ev->GetRawBuffer(), &s, sizeof(int));
  ev->SetRecvSize(sizeof(int));
  *ev->GetSenderAddr() = peer;
  Dispatch(ev, pNode);
  return s;
}

void ZEPThreadTCP::WaitWake(TCPSocketData* pNode, int64_t timeoutMs) {
  int fd = pNode->m_nWakeFd.load();
  if (fd < 0) {
    // No wake-up descriptor could be had: look again every second at most.
    ZEPSleep(static_cast<unsigned long>(timeoutMs < 0 || timeoutMs > 1000 ? 1000 : timeoutMs));
    return;
  }
  // A flag changed since the owner last looked: no sleep, it looks again.
  if (!pNode->EnterSleep()) return;
  if (ZEPWaitReadable(fd, timeoutMs) > 0) {
    uint64_t count;
    ssize_t n = read(fd, &count, sizeof(count));
    (void)n;
  }
  pNode->LeaveSleep();
}

int ZEPThreadTCP::WaitReadable(TCPSocketData* pNode) {
  pollfd pfd[2];
  pfd[0].fd = pNode->m_nSocket;
  pfd[0].events = POLLIN | POLLRDNORM;
  pfd[0].revents = 0;
  int fd = pNode->m_nWakeFd.load();
  pfd[1].fd = fd;
  pfd[1].events = POLLIN;
  pfd[1].revents = 0;
  // A flag changed since the owner last looked: no sleep, it looks again.
  if (fd >= 0 && !pNode->EnterSleep()) return 0;
  // Without a wake-up descriptor a flag change is noticed within a second.
  int rc = poll(pfd, fd >= 0 ? 2 : 1, fd >= 0 ? -1 : 1000);
  const int error = errno;
  if (fd >= 0) pNode->LeaveSleep();
  if (rc < 0) return error == EINTR ? 0 : -1;
  if (fd >= 0 && pfd[1].revents != 0) {
    uint64_t count;
    ssize_t n = read(fd, &count, sizeof(count));
    (void)n;
  }
  return pfd[0].revents != 0 ? 1 : 0;
}

bool ZEPThreadTCP::IsOverload(TCPSocketData* pNode, int nBytes) {
  const int64_t now = ZEPByteBudget::Now();
  if (!pNode->m_ThreadBudget.Charge(nBytes, pNode->m_nBandwidth.load(), now)) return false;
  // Over budget: sleep out the rest of this second, unless the socket is
  // told to close meanwhile.
  while (ZEPByteBudget::Now() == now && !pNode->m_bClosePending.load())
    WaitWake(pNode, ZEPByteBudget::MsToNextSecond());
  pNode->m_ThreadBudget.Restart(ZEPByteBudget::Now(), 0);
  return true;
}

void ZEPThreadTCP::PauseOwned(TCPSocketData* pNode) {
  ZEPLockGuard lock(m_EngineLock);
  pNode->m_bPaused = true;
}

void ZEPThreadTCP::WaitWhilePaused(TCPSocketData* pNode) {
  while (pNode->IsHeld() && !pNode->m_bClosePending.load()) WaitWake(pNode, -1);
}

void ZEPThreadTCP::FinishRecord(TCPSocketData* pNode) {
  ZEPLockGuard lock(m_EngineLock);
  // Nobody may write the wake-up descriptor once its owner closes it.
  pNode->m_nWakeFd = -1;
  // An owned record stays listed until its thread finishes it here.
  UnlistLocked(pNode);
  DropRecordLocked(pNode, pNode->m_bCloseOnClear.load());
}

int ZEPThreadTCP::ReadOnce(TCPSocketData* pNode, bool bTry) {
  if (pNode->m_nKind == ZEP_SOCK_SERVER && pNode->m_nProtocol == ZEP_PROTO_TCP)
    return Accept(pNode) >= 0 ? 4 : 0;
  if (pNode->m_nProtocol == ZEP_PROTO_UDP) return RecvUDPData(pNode, bTry);
  return RecvTCPData(pNode, bTry);
}

void ZEPThreadTCP::ProcessPkt(TCPSocketData* pNode, Thread* pThread) {
  // The wake-up descriptor lives as long as this thread owns the record;
  // FinishRecord unpublishes it before it is closed.
  ZEPWakeFd wake;
  pNode->m_nWakeFd = wake.Fd();
  int prio = pNode->m_nPriority.load();
  if (prio != ZEP_PRIO_NORMAL) pThread->SetPriority(prio);
  const bool bListener = pNode->m_nKind == ZEP_SOCK_SERVER && pNode->m_nProtocol == ZEP_PROTO_TCP;
  // While data keeps coming, try the next read before polling: one system
  // call per event instead of two. Nothing is read that poll() would not
  // have reported.
  bool bFlowing = false;
  while (!pNode->m_bClosePending.load()) {
    int n = -1;
    if (bFlowing && !pNode->IsHeld()) n = ReadOnce(pNode, true);
    if (n < 0) {
      int rc = WaitReadable(pNode);
      if (rc < 0) {
        // Nothing more can be read: wait for the owner to let the socket go.
        while (!pNode->m_bClosePending.load()) WaitWake(pNode, -1);
        break;
      }
      // A pause set while we waited holds too: what arrived stays in the
      // kernel instead of being read for no one (a node detached without
      // closing expects to find it when it comes back).
      if (rc > 0 && !pNode->m_bClosePending.load() && !pNode->IsHeld()) n = ReadOnce(pNode, false);
    }
    bFlowing = n > 0 && !bListener;
    if (n >= 0) {
      IsOverload(pNode, n);
      if (n > 0 && pNode->m_bGetOnePacket.load()) PauseOwned(pNode);
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

// ------------------------------------------------------ the pool's work

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
