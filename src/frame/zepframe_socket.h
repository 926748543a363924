// zepframe_socket.h — the records of the frame's two socket indexes, and
// the route of one socket record.
//
// TCP2Node: a socket and the nodes attached to it, in attachment order,
// without duplicates. Node2TCP: a node and its sockets (int slots from the
// frame's m_SocketPool). Both live in the frame's B+trees keyed by their
// first field and are copied into them, so each record only points at its
// list; the frame creates and deletes the lists. The records in the trees
// are guarded by the frame's socket-map lock; see zepframe_socket.cpp.
//
// TCPRoute: the nodes of one TCP2Node again, kept with the engine's record
// of the socket (ZEPSocketRoute, net/zeptcp.h), so that the socket thread
// that reads the socket hands each event to them without the socket-map
// lock, a look-up or a walk of the refcounted list. The frame changes a
// route under the socket-map lock and then the route's own lock, by
// publishing a new list (the lists are never changed in place). Deliver
// takes no lock: it marks itself delivering, reads the published list and
// hands the event to its nodes; a change waits, after publishing, until no
// Deliver that may have read the old list is still running, so a node that
// a detaching call (DelTCPEvent, NodeQuit) took off the route gets nothing
// more from the socket once that call returned. Lock order: socket-map lock
// -> route lock (changes only) -> node-list lock -> a node's queue lock ->
// engine lock; the wait of a change holds the first two, and a Deliver
// never takes either. The engine's record and the TCP2Node each hold a
// reference.
#ifndef ZEP_FRAME_ZEPFRAME_SOCKET_H
#define ZEP_FRAME_ZEPFRAME_SOCKET_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "net/zeptcp.h"

class CAppNode;
class ZEPFrame;

class TCPRoute : public ZEPSocketRoute {
 public:
  TCPRoute(ZEPFrame* frame, int sock) : m_pFrame(frame), m_nSocket(sock) {}
  TCPRoute(const TCPRoute&) = delete;
  TCPRoute& operator=(const TCPRoute&) = delete;
  // The socket's owning thread: the event to every node, in attachment
  // order, through the frame's Enqueue; true when one took it.
  bool Deliver(CTCPEvent* ev) override;
  // Socket-map lock held (the list mirrors the TCP2Node's): one node more
  // (unless present) or less, or all of `nodes` (CAppNode*; null: none).
  void Add(CAppNode* node) EXCLUDES(m_Lock);
  void Remove(CAppNode* node) EXCLUDES(m_Lock);
  void Assign(ZEPTlist* nodes) EXCLUDES(m_Lock);
  int GetCount() EXCLUDES(m_Lock);
  void DestroyMe() override { delete this; }
  ~TCPRoute() override { delete m_pNodes.load(); }

 private:
  typedef std::vector<CAppNode*> Nodes;
  // Publishes `next` and frees the list it replaces once no Deliver can be
  // reading it any more.
  void Publish(Nodes* next) REQUIRES(m_Lock);

  ZEPFrame* const m_pFrame;
  const int m_nSocket;
  Mutex m_Lock;  // serialises changes
  std::atomic<Nodes*> m_pNodes{new Nodes};
  std::atomic<int> m_nDelivering{0};
};

struct TCP2Node {
  intptr_t m_nSocket = -1;          // the key, widened to the tree's key size
  ZEPTlist* m_pNodeList = nullptr;  // CAppNode*, not owned
  uint32_t m_nGeneration = 0;       // of the record the nodes attached to (0: none)
  // The route of that record (a reference), null while the engine had no
  // record of the number; the frame drops it with the TCP2Node.
  TCPRoute* m_pRoute = nullptr;
  ZEPTlist* NodeList();
  // Appends the report line of this socket: its nodes, role and addresses.
  // Takes the engine lock. The frame calls it on a copy of the record made
  // under the socket-map lock, after leaving that lock.
  void print(ZEPFrame* frame, ZEPString& out) const;
};

struct Node2TCP {
  CAppNode* m_pNode = nullptr;        // the key
  ZEPTlist* m_pSocketList = nullptr;  // int* from the frame's m_SocketPool
  ZEPTlist* SocketList();
  // Appends the report line of this node: its sockets. Socket-map lock held.
  void print(ZEPString& out) const;
};

#endif  // ZEP_FRAME_ZEPFRAME_SOCKET_H
