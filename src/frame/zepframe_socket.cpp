// The frame's socket half: the socket engine, the two indexes between sockets
// and nodes, the routing of socket events to every attached node, and the
// socket calls the frame forwards to the engine.
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
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "frame/zepframe.h"
#include "net/zepaddr.h"
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

// ------------------------------------------------------------ attachment

int ZEPFrame::AddTCPEvent(CAppNode* node, int sock, unsigned long appID) {
  if (node == nullptr || sock < 0) return -1;
  ZEPLockGuard lock(m_SocketMapLock);
  // NodeQuit detaches under the map lock after the quitting flag is set, so
  // a node seen here as not quitting is detached by it later.
  if (!IsNodeRegistered(node) || (appID != 0 && node->GetAppID() != appID) || node->IsQuiting())
    return -1;
  Node2TCP* n = NodeRecordLocked(node);
  uint32_t gen = 0;
  // One look-up in the engine: a route is made whether or not the record
  // has one already (attaching is rare, a look-up walks every socket).
  TCPRoute* route = RecordRoute(sock, &gen);
  TCP2Node tkey;
  tkey.m_nSocket = sock;
  TCP2Node* t = m_TCP2Node.SearchKey(tkey);
  if (t != nullptr && gen != 0 && t->m_nGeneration != 0 && t->m_nGeneration != gen) {
    // The nodes listed here attached to an earlier socket of this number,
    // closed behind the frame's back: they must not get the new one's data.
    DetachSocketLocked(sock);
    n = NodeRecordLocked(node);
    t = nullptr;
  }
  if (t == nullptr) {
    tkey.m_nGeneration = gen;
    m_TCP2Node.InsertKey(tkey);
    t = m_TCP2Node.SearchKey(tkey);
    ZEP_ASSERT(NULL != t);
  }
  if (route != nullptr && t->m_pRoute != route) {
    // The record's route takes over the nodes listed for the number (none,
    // or those that attached while the engine had no record of it).
    route->Assign(t->m_pNodeList);
    DropRoute(t);
    t->m_pRoute = route;
    t->m_nGeneration = gen;
  } else if (route != nullptr) {
    route->downcount();  // the TCP2Node holds one already
  }
  if (!HasSocketLocked(n, sock)) {
    int* p = m_SocketPool.Malloc();
    ZEP_ASSERT(NULL != p);
    *p = sock;
    n->SocketList()->AddTail(p);
  }
  ZEPTlist* nodes = t->NodeList();
  const bool first = nodes->GetCount() == 0;
  if (!nodes->SearchNode(node)) {
    nodes->AddTail(node);
    // On the route before reading starts: the socket thread delivers
    // through it without the map lock, so the first read must find the node.
    if (t->m_pRoute != nullptr) t->m_pRoute->Add(node);
  }
  if (first) {
    // First attachment: reading starts.
    {
      ZEPLockGuard engine(m_pTCP->GetEngineLock());
      m_pTCP->SetPaused(sock, false);
    }
    m_pTCP->SetStarted(sock, true);
  }
  return 0;
}

TCPRoute* ZEPFrame::RecordRoute(int sock, uint32_t* gen) {
  TCPRoute* fresh = new TCPRoute(this, sock);
  fresh->upcount();  // ours until the record has its own
  ZEPSocketRoute* route;
  {
    ZEPLockGuard engine(m_pTCP->GetEngineLock());
    route = m_pTCP->TakeRouteLocked(sock, fresh, gen);
  }
  fresh->downcount();
  // Only this frame gives the engine's records their routes.
  return static_cast<TCPRoute*>(route);
}

void ZEPFrame::DropRoute(TCP2Node* t) {
  if (t->m_pRoute == nullptr) return;
  // Emptied first: the record may keep the route (a socket detached without
  // closing), and its thread must deliver to no one meanwhile.
  t->m_pRoute->Assign(nullptr);
  t->m_pRoute->downcount();
  t->m_pRoute = nullptr;
}

Node2TCP* ZEPFrame::NodeRecordLocked(CAppNode* node) {
  Node2TCP nkey;
  nkey.m_pNode = node;
  Node2TCP* n = m_Node2TCP.SearchKey(nkey);
  if (n == nullptr) {
    m_Node2TCP.InsertKey(nkey);
    n = m_Node2TCP.SearchKey(nkey);
    ZEP_ASSERT(NULL != n);
  }
  return n;
}

bool ZEPFrame::HasSocketLocked(Node2TCP* n, int sock) {
  if (n->m_pSocketList == nullptr) return false;
  SmartPtr<CListNode> cursor;
  for (void* p = n->m_pSocketList->GetFirst(&cursor); p != nullptr;
       p = n->m_pSocketList->GetNext(&cursor))
    if (*static_cast<int*>(p) == sock) return true;
  return false;
}

// Takes the socket out of the node's list (dropping the
// node's record when it empties) and the node out of the socket's list.
// True when the socket has no node left (its record is then dropped too).
bool ZEPFrame::UnlinkLocked(CAppNode* node, int sock) {
  DropSocketFromNodeLocked(node, sock);
  return DropNodeFromSocketLocked(node, sock);
}

// The socket leaves the node's list; the node's record goes
// when its list empties.
void ZEPFrame::DropSocketFromNodeLocked(CAppNode* node, int sock) {
  Node2TCP nkey;
  nkey.m_pNode = node;
  Node2TCP* n = m_Node2TCP.SearchKey(nkey);
  if (n == nullptr) return;
  if (n->m_pSocketList != nullptr) {
    SmartPtr<CListNode> cursor;
    for (void* p = n->m_pSocketList->GetFirst(&cursor); p != nullptr;
         p = n->m_pSocketList->GetNext(&cursor)) {
      if (*static_cast<int*>(p) != sock) continue;
      n->m_pSocketList->RemoveAtCursor(&cursor);
      m_SocketPool.Free(static_cast<int*>(p));
      break;
    }
  }
  if (n->m_pSocketList == nullptr || n->m_pSocketList->GetCount() == 0) {
    delete n->m_pSocketList;
    m_Node2TCP.DeleteKey(nkey);
  }
}

// The node leaves the socket's list; true when the socket is
// left without nodes (its record is dropped then).
bool ZEPFrame::DropNodeFromSocketLocked(CAppNode* node, int sock) {
  TCP2Node tkey;
  tkey.m_nSocket = sock;
  TCP2Node* t = m_TCP2Node.SearchKey(tkey);
  if (t == nullptr) return false;
  if (t->m_pNodeList != nullptr) t->m_pNodeList->RemoveNode(node);
  if (t->m_pRoute != nullptr) t->m_pRoute->Remove(node);
  if (t->m_pNodeList != nullptr && t->m_pNodeList->GetCount() > 0) return false;
  delete t->m_pNodeList;
  DropRoute(t);
  m_TCP2Node.DeleteKey(tkey);
  return true;
}

void ZEPFrame::DelTCPEvent(CAppNode* node, int sock, bool close) {
  ZEPLockGuard lock(m_SocketMapLock);
  if (!UnlinkLocked(node, sock)) return;
  if (close) {
    m_pTCP->ClearNode(sock, true);
  } else {
    ZEPLockGuard engine(m_pTCP->GetEngineLock());
    m_pTCP->SetPaused(sock, true);
  }
}

void ZEPFrame::DelTCPEvent(CAppNode* node) {
  if (node == nullptr || m_pTCP == nullptr) return;
  ZEPLockGuard lock(m_SocketMapLock);
  Node2TCP nkey;
  nkey.m_pNode = node;
  Node2TCP* n = m_Node2TCP.SearchKey(nkey);
  if (n == nullptr) return;
  ZEPTlist* socks = n->m_pSocketList;
  m_Node2TCP.DeleteKey(nkey);
  if (socks == nullptr) return;
  while (int* p = static_cast<int*>(socks->RemoveHead())) {
    int sock = *p;
    m_SocketPool.Free(p);
    if (DropNodeFromSocketLocked(node, sock)) m_pTCP->ClearNode(sock, true);
  }
  delete socks;
}

// The socket's record and every node's entry of it go (a
// node's record too when its list empties; tree pointers held by the caller
// are stale afterwards). The engine is not touched.
void ZEPFrame::DetachSocketLocked(int sock) {
  TCP2Node tkey;
  tkey.m_nSocket = sock;
  TCP2Node* t = m_TCP2Node.SearchKey(tkey);
  if (t == nullptr) return;
  ZEPTlist* nodes = t->m_pNodeList;
  DropRoute(t);
  m_TCP2Node.DeleteKey(tkey);
  if (nodes == nullptr) return;
  while (void* p = nodes->RemoveHead()) DropSocketFromNodeLocked(static_cast<CAppNode*>(p), sock);
  delete nodes;
}

void ZEPFrame::DelTCPEvent(int sock) {
  ZEPLockGuard lock(m_SocketMapLock);
  DetachSocketLocked(sock);
}

void ZEPFrame::ClearNode(int sock, bool close) {
  DelTCPEvent(sock);
  m_pTCP->ClearNode(sock, close);
}

int ZEPFrame::GetSocketNodeCount(int sock) {
  ZEPLockGuard lock(m_SocketMapLock);
  TCP2Node tkey;
  tkey.m_nSocket = sock;
  TCP2Node* t = m_TCP2Node.SearchKey(tkey);
  return (t == nullptr || t->m_pNodeList == nullptr) ? 0 : t->m_pNodeList->GetCount();
}

int ZEPFrame::GetNodeSocketCount(CAppNode* node) {
  ZEPLockGuard lock(m_SocketMapLock);
  Node2TCP nkey;
  nkey.m_pNode = node;
  Node2TCP* n = m_Node2TCP.SearchKey(nkey);
  return (n == nullptr || n->m_pSocketList == nullptr) ? 0 : n->m_pSocketList->GetCount();
}

// --------------------------------------------------------- UDP services

ZEPString ZEPFrame::GetUDPPackageIP(CTCPEvent* ev) {
  if (ev == nullptr) return ZEPString("");
  return ZEPIPv4Text(ev->GetSenderAddr()->sin_addr.s_addr);
}

int ZEPFrame::GetUDPPackagePort(CTCPEvent* ev) {
  if (ev == nullptr) return 0;
  return ntohs(ev->GetSenderAddr()->sin_port);
}

int ZEPFrame::ReplyUDPData(CTCPEvent* ev, const char* data, int length) {
  if (ev == nullptr) return -1;
  return m_pTCP->SendUdpTo(ev->GetSocket(), reinterpret_cast<const sockaddr*>(ev->GetSenderAddr()),
                           data, length);
}

// ------------------------------------------------- forwarding to the engine

int ZEPFrame::CreateServer(const ZEPString& host, const ZEPString& port, int protocol) {
  return m_pTCP->CreateServer(host, port, protocol);
}
int ZEPFrame::CreateClient(const ZEPString& host, const ZEPString& port, int protocol) {
  return m_pTCP->CreateClient(host, port, protocol);
}
int ZEPFrame::CreateUDPSocket(int kind) { return m_pTCP->CreateUDPSocket(kind); }
int ZEPFrame::CreateNetlinkSocket(int protocol, uint32_t groups) {
  return m_pTCP->CreateNetlinkSocket(protocol, groups);
}
int ZEPFrame::SendData(int sock, const char* data, int length) {
  return m_pTCP->SendData(sock, data, length);
}
int ZEPFrame::SendUdpTo(int sock, const sockaddr* addr, const char* data, int length) {
  return m_pTCP->SendUdpTo(sock, addr, data, length);
}

// Called by a node's queue with its queue lock held: takes only the engine
// lock and calls back into no queue.
int ZEPFrame::SetFCPaused(int sock, bool paused) { return SetFCPaused(sock, 0, paused); }
int ZEPFrame::SetFCPaused(int sock, uint32_t generation, bool paused) {
  if (m_pTCP == nullptr) return -1;
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(sock)) << 32) | generation;
  auto it = m_FCPausers.find(key);
  if (paused) {
    if (it != m_FCPausers.end()) {
      ++it->second;  // paused already, for another counter
      return 0;
    }
    const int rc = m_pTCP->SetFCPaused(sock, generation, true);
    // A pause that reached no record (gone, or of another generation) holds
    // nothing, and its resume is ignored below.
    if (rc == 0) m_FCPausers[key] = 1;
    return rc;
  }
  if (it == m_FCPausers.end()) return -1;
  if (--it->second > 0) return 0;
  m_FCPausers.erase(it);
  return m_pTCP->SetFCPaused(sock, generation, false);
}
int ZEPFrame::SetPaused(int sock, bool paused) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetPaused(sock, paused);
}
int ZEPFrame::SetGetOnePacket(int sock, bool one) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetGetOnePacket(sock, one);
}
int ZEPFrame::SetTime2Die(int sock, long when) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetTime2Die(sock, when);
}
int ZEPFrame::SetStartTimeout(int sock, int seconds) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetStartTimeoutLocked(sock, seconds);
}
int ZEPFrame::SetStarted(int sock, bool start) { return m_pTCP->SetStarted(sock, start); }
int ZEPFrame::SetSocketPriority(int sock, int priority) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetPriority(sock, priority);
}
int ZEPFrame::SetBandwidth(int sock, int bytesPerSecond) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->SetBandwidth(sock, bytesPerSecond);
}
void ZEPFrame::SetDefaultConnBandwidth(int n) { m_pTCP->SetDefaultConnBandwidth(n); }
int ZEPFrame::GetDefaultConnBandwidth() { return m_pTCP->GetDefaultConnBandwidth(); }
void ZEPFrame::SetDefaultTotalBandwidth(int n) { m_pTCP->SetTotalBandwidth(n); }
void ZEPFrame::SetSelectSize(int n) { m_pTCP->SetSelectSize(n); }
int ZEPFrame::GetSocketRecvBuffer(int sock) { return m_pTCP->GetSocketRecvBuffer(sock); }
int ZEPFrame::SetSocketRecvBuffer(int sock, long size) {
  return m_pTCP->SetSocketRecvBuffer(sock, size);
}
int ZEPFrame::GetSocketSendBuffer(int sock) { return m_pTCP->GetSocketSendBuffer(sock); }
int ZEPFrame::SetSocketSendBuffer(int sock, long size) {
  return m_pTCP->SetSocketSendBuffer(sock, size);
}
int ZEPFrame::GetClientSockAddr(int sock, sockaddr* addr) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetClientSockAddr(sock, addr);
}
int ZEPFrame::GetSocketBufDataCount(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetSocketBufDataCount(sock);
}
ZEPString ZEPFrame::GetIPAddr(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetIPAddr(sock);
}
int ZEPFrame::GetPeerPort(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetPeerPort(sock);
}
ZEPString ZEPFrame::GetPeerIP(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetPeerIP(sock);
}
int ZEPFrame::GetLocalPort(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetLocalPort(sock);
}
ZEPString ZEPFrame::GetLocalIP(int sock) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->GetLocalIP(sock);
}
int ZEPFrame::SeekSocket(int sock, TCPSocketInfo* copy) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  const TCPSocketData* p = m_pTCP->SeekSocket(sock);
  if (p == nullptr) return -1;
  if (copy != nullptr) p->GetInfo(copy);
  return 0;
}
uint32_t ZEPFrame::GetSocketGeneration(int sock) { return m_pTCP->GetGeneration(sock); }
ZEPString ZEPFrame::GetHostname() { return ZEPTCP::GetHostname(); }
ZEPString ZEPFrame::GetHostIP() { return ZEPTCP::GetHostIP(); }
int ZEPFrame::HostToIP(const ZEPString& host, ZEPString& ip) { return ZEPTCP::HostToIP(host, ip); }
bool ZEPFrame::IsMyIP(const ZEPString& ip, int port) { return m_pTCP->IsMyIP(ip, port); }
bool ZEPFrame::IsSocketWritable(int sock) { return m_pTCP->IsSocketWritable(sock); }
int ZEPFrame::AddIPBlackList(const char* ip) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->AddIPBlackList(ip);
}
int ZEPFrame::DelIPBlackList(const char* ip) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->DelIPBlackList(ip);
}
void ZEPFrame::ClrIPBlackList() {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  m_pTCP->ClrIPBlackList();
}
int ZEPFrame::CountChild(const ZEPString& host, const ZEPString& port) {
  ZEPLockGuard lock(m_pTCP->GetEngineLock());
  return m_pTCP->CountChild(host, port);
}
