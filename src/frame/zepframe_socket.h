// zepframe_socket.h — the records of the frame's two socket indexes.
//
// TCP2Node: a socket and the nodes attached to it, in attachment order,
// without duplicates. Node2TCP: a node and its sockets (int slots from the
// frame's m_SocketPool). Both live in the frame's B+trees keyed by their
// first field and are copied into them, so each record only points at its
// list; the frame creates and deletes the lists. The records in the trees
// are guarded by the frame's socket-map lock; see zepframe_socket.cpp.
#ifndef ZEP_FRAME_ZEPFRAME_SOCKET_H
#define ZEP_FRAME_ZEPFRAME_SOCKET_H

#include <cstdint>

#include "base/zepstring.h"
#include "base/zeptlist.h"

class CAppNode;
class ZEPFrame;

struct TCP2Node {
  intptr_t m_nSocket = -1;          // the key, widened to the tree's key size
  ZEPTlist* m_pNodeList = nullptr;  // CAppNode*, not owned
  uint32_t m_nGeneration = 0;       // of the record the nodes attached to (0: none)
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
