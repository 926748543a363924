// The frame's socket half: the socket engine, the two indexes between sockets
// and nodes, the routing of socket events to every attached node, and the
// socket calls the frame forwards to the engine. This unit holds the records,
// the engine's creation and service, and the routing; attaching and detaching
// nodes is in zepframe_socket_attach.cpp, the UDP services and the forwarded
// calls in zepframe_socket_calls.cpp.
//
// Locks, outermost first: socket-map lock -> a route's lock -> node-list lock
// (taken inside IsNodeRegistered and Enqueue) -> a node's queue flow lock (an
// event at a high-water mark) -> engine lock -> pool locks; g_LogMutex
// innermost. Every engine call that needs the engine lock is made under a
// ZEPLockGuard on m_pTCP->GetEngineLock(), so the analysis checks each one.
// SetFCPaused is called by a queue with its flow lock held and takes only the
// engine lock.
//
// Generations: the socket-to-node record remembers the generation of the
// engine record its nodes attached to. Events of another generation (from a
// socket that is gone, whose number a new socket got) are not routed, and an
// attachment that finds a record of an older generation drops it first.
//
// Routes: the socket-thread engine hands each read to the route kept with
// the engine's record (TCPRoute, zepframe_socket.h), which the attachment
// calls below keep equal to the socket-to-node record's node list. A route
// belongs to one engine record, so the generation check is built in: the
// reads of a closed socket cannot take the route of a new socket of that
// number. EnqueueTCP, the look-up under the socket-map lock, stays for the
// polling engine and for events made by hand.
#include <ctime>
#include <thread>
#include <vector>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "frame/zepframe.h"
#include "net/zepthreadtcp.h"

// ------------------------------------------------------------ the records

bool TCPRoute::Deliver(CTCPEvent* ev) {
  m_pFrame->SampleRead(m_nSocket, ev);
  // Marked before the list is read: a change that published after this
  // waits for us, one that published before is the list we read.
  m_nDelivering.fetch_add(1);
  const Nodes* nodes = m_pNodes.load();
  bool any = false;
  for (CAppNode* node : *nodes) any = m_pFrame->Enqueue(node, ev, true, false) || any;
  m_nDelivering.fetch_sub(1);
  return any;
}

void TCPRoute::Publish(Nodes* next) {
  Nodes* old = m_pNodes.exchange(next);
  // One socket thread delivers, between two reads: the wait is one event's
  // hand-over at most.
  while (m_nDelivering.load() != 0) std::this_thread::yield();
  delete old;
}

void TCPRoute::Add(CAppNode* node) {
  ZEPLockGuard lock(m_Lock);
  const Nodes* now = m_pNodes.load();
  for (CAppNode* n : *now)
    if (n == node) return;
  Nodes* next = new Nodes(*now);
  next->push_back(node);
  Publish(next);
}

void TCPRoute::Remove(CAppNode* node) {
  ZEPLockGuard lock(m_Lock);
  const Nodes* now = m_pNodes.load();
  Nodes* next = new Nodes;
  for (CAppNode* n : *now)
    if (n != node) next->push_back(n);
  if (next->size() == now->size()) {
    delete next;
    return;
  }
  Publish(next);
}

void TCPRoute::Assign(ZEPTlist* nodes) {
  Nodes* next = new Nodes;
  if (nodes != nullptr) {
    SmartPtr<CListNode> cursor;
    for (void* p = nodes->GetFirst(&cursor); p != nullptr; p = nodes->GetNext(&cursor))
      next->push_back(static_cast<CAppNode*>(p));
  }
  ZEPLockGuard lock(m_Lock);
  Publish(next);
}

int TCPRoute::GetCount() {
  ZEPLockGuard lock(m_Lock);
  return static_cast<int>(m_pNodes.load()->size());
}

ZEPTlist* TCP2Node::NodeList() {
  if (m_pNodeList == nullptr) m_pNodeList = new ZEPTlist;
  return m_pNodeList;
}

ZEPTlist* Node2TCP::SocketList() {
  if (m_pSocketList == nullptr) m_pSocketList = new ZEPTlist;
  return m_pSocketList;
}

void TCP2Node::print(ZEPFrame* frame, ZEPString& out) const {
  const int sock = static_cast<int>(m_nSocket);
  out << "\r\n" << sock << ":";
  ZEP_MTTcp* engine = frame->GetTCPEngine();
  ZEPLockGuard lock(engine->GetEngineLock());
  TCPSocketData* p = engine->SeekSocket(sock);
  if (p == nullptr) {
    out << "Error!Error! Cannot seek socket " << sock << " in list!"
        << "\r\n";
    return;
  }
  if (m_pNodeList != nullptr) {
    SmartPtr<CListNode> cursor;
    for (void* n = m_pNodeList->GetFirst(&cursor); n != nullptr; n = m_pNodeList->GetNext(&cursor))
      out << " " << static_cast<const void*>(n) << " ";
  }
  static const char* const kRole[] = {"", "SVR ", "CHD ", "CLN "};
  if (p->m_nKind >= ZEP_SOCK_SERVER && p->m_nKind <= ZEP_SOCK_CLIENT) out << kRole[p->m_nKind];
  out << " " << p->m_strHost << ":" << p->m_strPort;
  if (p->m_nKind == ZEP_SOCK_CHILD)
    out << "  SVR:" << p->m_strListenHost << ":" << p->m_strListenPort;
  if (p->m_nKind == ZEP_SOCK_SERVER)
    out << " CHD:" << engine->CountChild(p->m_strHost, p->m_strPort);
}

void Node2TCP::print(ZEPString& out) const {
  out << "\r\n" << static_cast<const void*>(m_pNode) << ":";
  if (m_pSocketList == nullptr) return;
  SmartPtr<CListNode> cursor;
  for (void* s = m_pSocketList->GetFirst(&cursor); s != nullptr;
       s = m_pSocketList->GetNext(&cursor))
    out << " " << *static_cast<int*>(s) << " ";
}

int ZEPFrame::GetTCP2NodeCount() {
  ZEPLockGuard lock(m_SocketMapLock);
  return static_cast<int>(m_TCP2Node.GetKeyCount());
}

unsigned ZEPFrame::GetSocketPoolCount() {
  ZEPLockGuard lock(m_SocketMapLock);
  return m_SocketPool.GetCount();
}

ZEPString& ZEPFrame::PrintSocketMaps(ZEPString& out) {
  // The socket lines look each socket up under the engine lock: they are
  // printed from copies of the records, after the socket-map lock is left,
  // so that no two locks are held together. The node lines need no other
  // lock.
  std::vector<TCP2Node> sockets;
  ZEPString nodes;
  {
    ZEPLockGuard lock(m_SocketMapLock);
    GET_KEY_tag cursor;
    for (TCP2Node* r = m_TCP2Node.GetFirstKey(&cursor); r != nullptr;
         r = m_TCP2Node.GetNextKey(&cursor, false)) {
      TCP2Node copy = *r;
      copy.m_pNodeList = nullptr;
      copy.m_pRoute = nullptr;
      if (r->m_pNodeList != nullptr) {
        SmartPtr<CListNode> at;
        for (void* n = r->m_pNodeList->GetFirst(&at); n != nullptr;
             n = r->m_pNodeList->GetNext(&at))
          copy.NodeList()->AddTail(n);
      }
      sockets.push_back(copy);
    }
    for (Node2TCP* r = m_Node2TCP.GetFirstKey(&cursor); r != nullptr;
         r = m_Node2TCP.GetNextKey(&cursor, false))
      r->print(nodes);
  }
  for (TCP2Node& r : sockets) {
    r.print(this, out);
    delete r.m_pNodeList;
  }
  out << nodes;
  return out;
}

// ---------------------------------------------------- engine and service

void ZEPFrame::CreateSocketEngine() {
  if (m_bMultiThreadSocket)
    m_pTCP = new ZEPThreadTCP(this);
  else
    m_pTCP = new ZEP_MTTcp();
}

void ZEPFrame::DestroySocketEngine() {
  delete m_pTCP;
  m_pTCP = nullptr;
  // Associations of nodes that never detached: drop the lists the records own.
  ZEPLockGuard lock(m_SocketMapLock);
  GET_KEY_tag cursor;
  for (TCP2Node* r = m_TCP2Node.GetFirstKey(&cursor); r != nullptr;
       r = m_TCP2Node.GetNextKey(&cursor, false)) {
    delete r->m_pNodeList;
    DropRoute(r);
  }
  m_TCP2Node.DestroyTree();
  for (Node2TCP* r = m_Node2TCP.GetFirstKey(&cursor); r != nullptr;
       r = m_Node2TCP.GetNextKey(&cursor, false)) {
    if (r->m_pSocketList == nullptr) continue;
    while (int* p = static_cast<int*>(r->m_pSocketList->RemoveHead())) m_SocketPool.Free(p);
    delete r->m_pSocketList;
  }
  m_Node2TCP.DestroyTree();
}

void ZEPFrame::ServiceTurn() {
  if (m_bMultiThreadSocket) {
    WaitWake(m_pTCP->SweepSockData());
  } else {
    ProcessTCP();
  }
}

// --------------------------------------------------------------- routing

void ZEPFrame::SampleRead(int sock, CTCPEvent* ev) {
  // Every read of either engine passes here; without a sample this is the
  // only cost.
  if (m_bSampling.load(std::memory_order_relaxed) && ev->IsTcpData() && ev->GetRecvSize() > 0)
    AddSample(sock, ev->GetRecvSize());
}

bool ZEPFrame::EnqueueTCP(CTCPEvent* ev, int sock) {
  if (ev == nullptr || sock < 0) return false;
  SampleRead(sock, ev);
  ZEPLockGuard lock(m_SocketMapLock);
  TCP2Node key;
  key.m_nSocket = sock;
  TCP2Node* r = m_TCP2Node.SearchKey(key);
  if (r == nullptr || r->m_pNodeList == nullptr) return false;
  // 0 on either side: an event made by hand, or nodes attached to a number
  // the engine had no record of.
  const uint32_t gen = ev->GetGeneration();
  if (gen != 0 && r->m_nGeneration != 0 && gen != r->m_nGeneration) return false;
  bool any = false;
  SmartPtr<CListNode> cursor;
  for (void* p = r->m_pNodeList->GetFirst(&cursor); p != nullptr;
       p = r->m_pNodeList->GetNext(&cursor))
    any = Enqueue(static_cast<CAppNode*>(p), ev, true, false) || any;
  return any;
}

int ZEPFrame::PostPolledTCP() {
  // Everything one poll read is taken in one go and posted back to back, so
  // that the wake-ups of a node's worker can be shared by its events.
  static const int kBatch = 64;
  CTCPEvent* batch[kBatch];
  int n = 0;
  {
    ZEPLockGuard lock(m_pTCP->GetEngineLock());
    while (n < kBatch) {
      CTCPEvent* ev = AllocTCPEvent();
      ev->upcount();  // ours until the nodes have theirs
      int sock = -1, len = 0, proto = ZEP_PROTO_TCP;
      uint32_t gen = 0;
      // The first call polls; the rest take what that poll read.
      int rc =
          n == 0
              ? m_pTCP->Select(sock, ev->GetRawBuffer(), len, ev->GetSenderAddr(), proto, &gen)
              : m_pTCP->TakeResult(sock, ev->GetRawBuffer(), len, ev->GetSenderAddr(), proto, &gen);
      if (rc <= 0) {
        ev->downcount();
        break;
      }
      ev->SetCreateTime(time(nullptr));
      ev->SetRecvSize(len);
      ev->SetSocket(sock);
      ev->SetRC(rc);
      ev->SetSocketType(proto);
      ev->SetGeneration(gen);
      batch[n++] = ev;
    }
  }
  for (int i = 0; i < n; ++i) {
    EnqueueTCP(batch[i], batch[i]->GetSocket());
    batch[i]->downcount();
  }
  return n;
}

void ZEPFrame::ProcessTCP() {
  // Sleep until something is readable (at once when results wait, or a
  // socket already is), a deadline falls due, or m_Wake is written (a socket
  // started or resumed, ExitFrame, a report request); then one Select reads
  // every ready socket. Waiting first saves the poll that would find
  // nothing after each batch.
  const int ready = m_pTCP->WaitForInput(&m_Wake);
  if (m_bExit.load()) return;
  if (PostPolledTCP() == 0 && ready > 0) {
    // Readable, yet nothing was read (a listener out of descriptors): do
    // not spin on it.
    ZEPSleep(1);
  }
}

uint64_t ZEPFrame::GetSocketWakeups() const {
  if (m_pTCP == nullptr) return 0;
  return m_pTCP->GetOwnerWakeups() + m_pTCP->GetPollerWakeups();
}

int ZEPFrame::Select(int& sock, char* buffer, int& length, sockaddr_in* from, int& protocol) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->Select(sock, buffer, length, from, protocol, nullptr);
}
