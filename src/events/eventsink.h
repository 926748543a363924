// eventsink.h — what the lower layers ask of the frame, as interfaces.
//
// The message queue, the application node and the socket engines sit below
// the frame and never include it. They reach it through these interfaces,
// which ZEPFrame implements:
//   ZEPFlowControl — a queue pauses and resumes the socket it is flooded by;
//   ZEPSocketSink  — a socket engine takes events from the frame's pool,
//                    routes them to the attached nodes, and tells the frame
//                    that its next sweep deadline moved earlier;
//   ZEPNodeHost    — a node reports that its loop has ended (appnode.h).
//
// Owns nothing. Threads: every call may come from any thread; the contract of
// each call below says which locks the caller may hold.
#ifndef ZEP_EVENTS_EVENTSINK_H
#define ZEP_EVENTS_EVENTSINK_H

#include <cstdint>

class CTCPEvent;

class ZEPFlowControl {
 public:
  virtual ~ZEPFlowControl() {}
  // Stops (true) or resumes (false) reading the socket `sock` of generation
  // `generation`; a record of another generation (the descriptor number was
  // reused meanwhile) is left alone. Called with the queue's flow lock held:
  // it may take only the socket engine's lock and must not call back into a
  // queue.
  virtual int SetFCPaused(int sock, uint32_t generation, bool paused) = 0;
};

class ZEPSocketSink {
 public:
  virtual ~ZEPSocketSink() {}
  // An event from the frame's socket-event pool, without a reference.
  virtual CTCPEvent* AllocTCPEvent() = 0;
  // Hands the event to every node attached to the socket (matching the
  // event's generation); true when one took it. Called by the thread that
  // read the socket (a socket thread, or the service loop with the polling
  // engine) without the engine lock; takes the socket-map lock, then the
  // node-list lock and, for an event that reaches a high-water mark or needs
  // a count slot, a node's queue flow lock.
  virtual bool EnqueueTCP(CTCPEvent* ev, int sock) = 0;
  // A socket deadline (time to die, start time-out) now falls earlier than
  // the sweep planned: the frame's service loop should sweep again. Any
  // thread, any lock held (it only writes a wake-up descriptor).
  virtual void WakeSweep() = 0;
};

#endif  // ZEP_EVENTS_EVENTSINK_H
