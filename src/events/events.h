// events.h — everything that reaches an application node is a CEvent.
//
// Owns: the event class tree (quit, timer, socket, command and user events)
// and the type codes that tell them apart. Event objects themselves are owned
// collectively by their references: message queues, counting SmartPtrs and the
// node that last received one. Dropping the last reference runs DestroyMe(),
// which hands a pooled event back to its ZEPMTFixMem (under that pool's own
// mutex) or deletes a heap event.
//
// Threads: any thread may allocate (through the frame's Alloc...Event), fill
// and enqueue an event; after it is enqueued only the receiving nodes'
// threads read it (a socket event goes to every node attached to its
// socket). The reference count is atomic, so references may be dropped from
// any thread. Locks: only a pool's own mutex, inside Instance() when neither
// the thread's cache nor the pool's return stack has an element
// (ZEPMTFixMem::CachedMalloc; the pool lock is innermost but for the log
// lock). DestroyMe() takes no lock: a pooled
// event goes onto its pool's lock-free return stack (ZEPMTFixMem::
// DeferredFree), which the next Instance() on a producer's thread takes
// whole into that thread's cache, so neither side takes the pool's mutex
// while events flow.
//
// Every event carries one message-queue link (ZEPQueueLink) so that a queue
// needs no list node per event; the first queue to take an event claims it
// (an atomic flag), a second queue holding the same event at once allocates
// a link of its own.
#ifndef ZEP_EVENTS_EVENTS_H
#define ZEP_EVENTS_EVENTS_H

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "base/zepassert.h"
#include "base/zepconst.h"
#include "base/zepfixmem.h"
#include "base/zepstring.h"
#include "base/zeptlist.h"

class CAppNode;
struct TimeEvent_tag;
struct GeneralCmd_;  // the command record of the command-framing layer

// Type codes held in every event (GetEventType()).
enum {
  ZEP_EVENT_PLAIN = 0,
  ZEP_EVENT_QUIT = 0x10,
  ZEP_EVENT_TIMER = 0x20,
  ZEP_EVENT_TCP = 0x30,
  ZEP_EVENT_CMD = 0x40,
  ZEP_EVENT_POOLWORK = 0x50,  // work items of the worker and socket thread pools
  ZEP_EVENT_USER = 0x1000,
};

// A socket event carries at most one datagram of ZEP_TCP_BUFSIZE bytes
// (zepconst.h, with the result codes); a read never terminates the data, so
// consumers must go by GetRecvSize().
// Size of the command-framing layer's fixed command record.
const int kGeneralCmdSize = 4240;

class CEvent;

// The bytes of a socket event a consumer has yet to use (CTCPEvent::Received).
struct ZEPReceived_tag {
  const char* m_pData;
  size_t m_nSize;
};

// One place in a message queue's chain (messageq.h).
struct ZEPQueueLink {
  ZEPQueueLink* m_pNext = nullptr;
  ZEPQueueLink* m_pPrev = nullptr;
  CEvent* m_pEvent = nullptr;
};

class CEvent : public RefCount {
 public:
  CEvent() { Init(true); }
  // A copy is a new event: not queued anywhere, not on a return stack.
  CEvent(const CEvent& other)
      : RefCount(other),
        m_strEventID(other.m_strEventID),
        m_pSrcNode(other.m_pSrcNode),
        m_nAppID(other.m_nAppID),
        m_nSrcAppID(other.m_nSrcAppID),
        m_nEventType(other.m_nEventType) {}
  CEvent& operator=(const CEvent&) = delete;
  ~CEvent() override {}

  void Init(bool full);

  void SetEventID(const ZEPString& id) { m_strEventID = id; }
  ZEPString GetEventID() const { return m_strEventID; }
  void SetSrcNode(CAppNode* node) { m_pSrcNode = node; }
  CAppNode* GetSrcNode() const { return m_pSrcNode; }
  void SetSrcAppID(uint32_t id) { m_nSrcAppID = id; }
  uint32_t GetSrcAppID() const { return m_nSrcAppID; }
  void SetAppID(uint32_t id) { m_nAppID = id; }
  uint32_t GetAppID() const { return m_nAppID; }
  int GetEventType() const { return m_nEventType; }

  // Message queue only: a link for one queue, with m_pEvent set. The event's
  // own link when no other queue holds it, else a heap link; NULL only when
  // the heap is exhausted. Called by the enqueuing thread, no lock (the
  // claim is an atomic exchange).
  ZEPQueueLink* ClaimQueueLink();
  // Gives back a link from ClaimQueueLink once it is out of its queue.
  static void ReleaseQueueLink(ZEPQueueLink* link);

  // The pool's return-stack link (ZEPMTFixMem::DeferredFree); only
  // meaningful while the event waits there.
  void*& PoolLink() { return m_pPoolLink; }

 protected:
  ZEPString m_strEventID;
  CAppNode* m_pSrcNode = nullptr;
  uint32_t m_nAppID = 0;
  uint32_t m_nSrcAppID = 0;
  int m_nEventType = ZEP_EVENT_PLAIN;

 private:
  ZEPQueueLink m_QLink;
  std::atomic<bool> m_bQLinkBusy{false};
  void* m_pPoolLink = nullptr;
};

// The per-kind pool pattern shared by every pooled event: Instance() takes a
// slot (CachedMalloc) and initialises it fully; Release() puts it on
// the pool's return stack (no lock), or deletes an event made with plain new.
template <class Kind, class Pool>
Kind* ZEPEventFromPool(Pool* pool) {
  if (pool == nullptr) return nullptr;
  return pool->CachedMalloc();
}

template <class Kind, class Pool>
void ZEPEventRelease(Kind* ev, Pool* pool) {
  if (pool == nullptr) {
    delete ev;
    return;
  }
  pool->DeferredFree(ev);
}

// Instance() of the kinds whose Init takes only the full flag.
template <class Kind>
Kind* ZEPEventInstance(typename Kind::Pool* pool) {
  if (pool == nullptr) return nullptr;
  Kind* pReturn = ZEPEventFromPool<Kind>(pool);
  ZEP_ASSERT(NULL != pReturn);
  pReturn->Init(true);
  pReturn->m_pPool = pool;
  return pReturn;
}

template <class Kind>
Kind* ZEPEventNarrow(CEvent* ev, int code) {
  return (ev != nullptr && ev->GetEventType() == code) ? static_cast<Kind*>(ev) : nullptr;
}

class CQuitEvent : public CEvent {
 public:
  typedef ZEPMTFixMem<CQuitEvent, 100, 10, 10> Pool;
  CQuitEvent() { Init(false); }
  void Init(bool full);
  static CQuitEvent* Instance(Pool* pool) { return ZEPEventInstance<CQuitEvent>(pool); }
  static CQuitEvent* Narrow(CEvent* ev) { return ZEPEventNarrow<CQuitEvent>(ev, ZEP_EVENT_QUIT); }
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }

 private:
  friend CQuitEvent* ZEPEventInstance<CQuitEvent>(Pool* pool);
  Pool* m_pPool = nullptr;
};

class CTimerEvent : public CEvent {
 public:
  typedef ZEPMTFixMem<CTimerEvent, 100, 10, 10> Pool;
  CTimerEvent() { Init(false); }
  void Init(bool full);
  static CTimerEvent* Instance(Pool* pool) { return ZEPEventInstance<CTimerEvent>(pool); }
  static CTimerEvent* Narrow(CEvent* ev) {
    return ZEPEventNarrow<CTimerEvent>(ev, ZEP_EVENT_TIMER);
  }
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }

  void SetTimerID(TimeEvent_tag* id) { m_pTimerID = id; }
  TimeEvent_tag* GetTimerID() const { return m_pTimerID; }
  // The arming serial of the timer record when this tick was made. A record
  // address is reused once its timer is gone; the serial is not, so a node (or
  // the queue's accounting) can tell a late tick of a deleted timer from a tick
  // of the new timer that now lives at the same address.
  void SetTimerSerial(uint64_t serial) { m_nTimerSerial = serial; }
  uint64_t GetTimerSerial() const { return m_nTimerSerial; }

 private:
  friend CTimerEvent* ZEPEventInstance<CTimerEvent>(Pool* pool);
  Pool* m_pPool = nullptr;
  TimeEvent_tag* m_pTimerID = nullptr;
  uint64_t m_nTimerSerial = 0;
};

class CTCPEvent : public CEvent {
 public:
  typedef ZEPMTFixMem<CTCPEvent, 100, 10, 10> Pool;
  CTCPEvent();
  void Init(bool full);
  static CTCPEvent* Instance(Pool* pool) { return ZEPEventInstance<CTCPEvent>(pool); }
  static CTCPEvent* Narrow(CEvent* ev) { return ZEPEventNarrow<CTCPEvent>(ev, ZEP_EVENT_TCP); }
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }

  // Start of the unconsumed data: the buffer plus the consumer's offset.
  char* GetBuffer() { return m_Buffer + m_nBufferOffset; }
  // The whole buffer, for producers that read into it.
  char* GetRawBuffer() { return m_Buffer; }
  static int GetBufferSize() { return ZEP_TCP_BUFSIZE; }
  // Sizes and offsets are clamped to the buffer so that no consumer can be
  // pointed outside it.
  void SetRecvSize(int n) { m_nRecvSize = Clamp(n); }
  int GetRecvSize() const { return m_nRecvSize; }
  void SetBufferOffset(int n) { m_nBufferOffset = Clamp(n); }
  int GetBufferOffset() const { return m_nBufferOffset; }
  // The data still to be used: from the offset, the receive size (which
  // counts from the offset: a consumer that re-queues the rest sets both),
  // cut at the end of the buffer. Each is clamped alone, their sum is not,
  // so this is the one safe reading of the two.
  ZEPReceived_tag Received() const;

  void SetRC(int rc) { m_nRC = rc; }
  int GetRC() const { return m_nRC; }
  bool IsTcpData() const { return m_nRC == ZEP_TCP_DATA; }
  bool IsTcpNew() const { return m_nRC == ZEP_TCP_NEW; }
  bool IsTcpClose() const { return m_nRC == ZEP_TCP_CLOSE; }
  void SetCreateTime(time_t t) { m_nCreateTime = t; }
  time_t GetCreateTime() const { return m_nCreateTime; }
  void SetSocket(int s) { m_nSocket = s; }
  int GetSocket() const { return m_nSocket; }
  void SetSocketType(int t) { m_nSocketType = t; }
  int GetSocketType() const { return m_nSocketType; }
  // The generation of the socket record that produced the event. The system
  // reuses descriptor numbers (a client opens a new socket for every report),
  // so routing, flow-control counts and pauses go by descriptor and
  // generation; 0 is no socket record (an event made by hand).
  void SetGeneration(uint32_t g) { m_nGeneration = g; }
  uint32_t GetGeneration() const { return m_nGeneration; }
  sockaddr_in* GetSenderAddr() { return &m_SenderAddr; }

 private:
  friend CTCPEvent* ZEPEventInstance<CTCPEvent>(Pool* pool);
  static int Clamp(int n) { return n < 0 ? 0 : (n > ZEP_TCP_BUFSIZE ? ZEP_TCP_BUFSIZE : n); }

  char m_Buffer[ZEP_TCP_BUFSIZE];
  int m_nRecvSize = 0;
  int m_nRC = 0;
  time_t m_nCreateTime = 0;
  int m_nSocket = -1;
  int m_nBufferOffset = 0;
  int m_nSocketType = ZEP_PROTO_TCP;
  uint32_t m_nGeneration = 0;
  Pool* m_pPool = nullptr;
  sockaddr_in m_SenderAddr;
};

class CUserEvent : public CEvent {
 public:
  typedef ZEPMTFixMem<CUserEvent, 100, 10, 10> Pool;
  CUserEvent() { Init(false); }
  void Init(bool full);
  static CUserEvent* Instance(Pool* pool) { return ZEPEventInstance<CUserEvent>(pool); }
  static CUserEvent* Narrow(CEvent* ev) { return ZEPEventNarrow<CUserEvent>(ev, ZEP_EVENT_USER); }
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }

  void SetTag(int tag) { m_nTag = tag; }
  int GetTag() const { return m_nTag; }
  void SetPointer(void* p) { m_pPointer = p; }
  void* GetPointer() const { return m_pPointer; }

 private:
  friend CUserEvent* ZEPEventInstance<CUserEvent>(Pool* pool);
  int m_nTag = 0;
  Pool* m_pPool = nullptr;
  void* m_pPointer = nullptr;
};

class CCmdEvent : public CEvent {
 public:
  typedef ZEPMTFixMem<CCmdEvent, 10, 10, 10> Pool;
  CCmdEvent() : CCmdEvent(nullptr, -1) {}
  CCmdEvent(const GeneralCmd_* cmd, int sock);
  void Init(bool full, const GeneralCmd_* cmd, int sock);
  static CCmdEvent* Instance(Pool* pool, const GeneralCmd_* cmd, int sock);
  static CCmdEvent* Narrow(CEvent* ev) { return ZEPEventNarrow<CCmdEvent>(ev, ZEP_EVENT_CMD); }
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }

  GeneralCmd_* GetCmd() { return reinterpret_cast<GeneralCmd_*>(m_Cmd); }
  void SetSocket(int s) { m_nSocket = s; }
  int GetSocket() const { return m_nSocket; }
  // The generation of the socket record the command came from, as for a
  // socket event: flow control pauses that record only, never a newer socket
  // that got the same descriptor number. 0: no record; such events are
  // counted but pause nothing.
  void SetGeneration(uint32_t g) { m_nGeneration = g; }
  uint32_t GetGeneration() const { return m_nGeneration; }

 private:
  Pool* m_pPool = nullptr;
  alignas(8) char m_Cmd[kGeneralCmdSize];
  int m_nSocket = -1;
  uint32_t m_nGeneration = 0;
};

#endif  // ZEP_EVENTS_EVENTS_H
