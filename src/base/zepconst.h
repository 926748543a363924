// zepconst.h — the framework's shared numbers, defined once.
//
// Owns nothing; header only. Every layer may include it.
#ifndef ZEP_BASE_ZEPCONST_H
#define ZEP_BASE_ZEPCONST_H

// Result codes of a read and of a socket event: data, a new connection
// accepted by a listener, the peer closed (or a read error).
enum { ZEP_TCP_DATA = 1, ZEP_TCP_NEW = 2, ZEP_TCP_CLOSE = 3 };

// Protocols of a socket record, a read result and a socket event.
enum { ZEP_PROTO_TCP = 1, ZEP_PROTO_UDP = 2 };

// Largest datagram and largest read: the size of a socket event's buffer.
constexpr int ZEP_TCP_BUFSIZE = 4096;

// Thread priorities: 1 high, 2 normal (every pool thread goes back to it
// after a job), 3 low.
constexpr int ZEP_PRIO_HIGH = 1;
constexpr int ZEP_PRIO_NORMAL = 2;
constexpr int ZEP_PRIO_LOW = 3;

// Worker pools start with this many threads and add as many whenever every
// thread is busy.
constexpr int ZEP_POOL_GROWTH = 5;

// Queued events from one source (a socket, a timer) at which the source is
// paused until its node catches up.
constexpr int ZEP_QUEUE_HWM = 100;

#endif  // ZEP_BASE_ZEPCONST_H
