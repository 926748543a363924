// ZEPFrame, socket half: attaching nodes to sockets and detaching them, which
// keeps the two indexes and the sockets' routes equal (the locks and the
// generation rule are described in zepframe_socket.cpp).
#include "base/lockguard.h"
#include "base/zepassert.h"
#include "frame/zepframe.h"
#include "net/zepmttcp.h"

namespace {
// Lists the node for the socket, and on its route, unless it is there: true
// when the socket had no node before (reading starts then).
bool AttachNode(TCP2Node* t, CAppNode* node) {
  ZEPTlist* nodes = t->NodeList();
  const bool first = nodes->GetCount() == 0;
  if (!nodes->SearchNode(node)) {
    nodes->AddTail(node);
    // On the route before reading starts: the socket thread delivers
    // through it without the map lock, so the first read must find the node.
    if (t->m_pRoute != nullptr) t->m_pRoute->Add(node);
  }
  return first;
}
}  // namespace

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
  if (AttachNode(t, node)) {
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
