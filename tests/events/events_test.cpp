#include "events/events.h"

#include <gtest/gtest.h>

#include <cstring>

#include "events/messageq.h"

// Pool round trips: an event leaves its pool on Instance and comes back when
// its last reference is dropped, however many holders it had.
TEST(Events, PooledEventReturnsWithLastReference) {
  CTCPEvent::Pool pool;
  CTCPEvent* ev = CTCPEvent::Instance(&pool);
  ASSERT_NE(nullptr, ev);
  EXPECT_EQ(0, ev->GetRefCount());
  EXPECT_EQ(1u, pool.GetCount());
  {
    SmartPtr<CTCPEvent> holder(ev);
    EXPECT_EQ(1, ev->GetRefCount());
  }
  EXPECT_EQ(0u, pool.GetCount());

  // Two queues: the event is back only after both consumers moved past it.
  CTCPEvent* shared = CTCPEvent::Instance(&pool);
  {
    CMessageQueue q1, q2;
    q1.Enqueue(shared, true);
    q2.Enqueue(shared, true);
    EXPECT_EQ(2, shared->GetRefCount());
    q1.Dequeue()->downcount();
    EXPECT_EQ(1u, pool.GetCount());
    // q2 still holds it; its Fini (destructor) drops the last reference.
  }
  EXPECT_EQ(0u, pool.GetCount());
  EXPECT_EQ(nullptr, CTCPEvent::Instance(nullptr));
}

TEST(Events, InstanceResetsRecycledSlot) {
  CUserEvent::Pool pool;
  CUserEvent* ev = CUserEvent::Instance(&pool);
  ev->SetAppID(7);
  ev->SetEventID("abc");
  ev->SetPointer(ev);
  ev->SetTag(42);
  SmartPtr<CUserEvent>(ev).Release();  // back to the pool
  CUserEvent* again = CUserEvent::Instance(&pool);
  ASSERT_EQ(ev, again);  // the freed slot is the first reused
  EXPECT_EQ(0u, again->GetAppID());
  EXPECT_EQ(nullptr, again->GetPointer());
  EXPECT_EQ(0u, again->GetEventID().GetLength());
  EXPECT_EQ(ZEP_EVENT_USER, again->GetEventType());
  EXPECT_EQ(42, again->GetTag());  // producers set the tag; Init keeps it
  SmartPtr<CUserEvent>(again).Release();
}

TEST(Events, NarrowGoesByTypeCodeOnly) {
  CQuitEvent quit;
  CTimerEvent timer;
  CTCPEvent tcp;
  CUserEvent user;
  CCmdEvent cmd;
  EXPECT_EQ(&quit, CQuitEvent::Narrow(&quit));
  EXPECT_EQ(nullptr, CQuitEvent::Narrow(&timer));
  EXPECT_EQ(&timer, CTimerEvent::Narrow(&timer));
  EXPECT_EQ(nullptr, CTimerEvent::Narrow(&tcp));
  EXPECT_EQ(&tcp, CTCPEvent::Narrow(&tcp));
  EXPECT_EQ(nullptr, CTCPEvent::Narrow(&cmd));
  EXPECT_EQ(&user, CUserEvent::Narrow(&user));
  EXPECT_EQ(nullptr, CUserEvent::Narrow(&quit));
  EXPECT_EQ(&cmd, CCmdEvent::Narrow(&cmd));
  EXPECT_EQ(nullptr, CCmdEvent::Narrow(nullptr));
  EXPECT_EQ(0x10, quit.GetEventType());
  EXPECT_EQ(0x20, timer.GetEventType());
  EXPECT_EQ(0x30, tcp.GetEventType());
  EXPECT_EQ(0x40, cmd.GetEventType());
  EXPECT_EQ(0x1000, user.GetEventType());
}

TEST(Events, TcpBufferOffsetAndSizeStayInsideTheBuffer) {
  CTCPEvent ev;
  EXPECT_EQ(1, ev.GetSocketType());
  EXPECT_EQ(ev.GetRawBuffer(), ev.GetBuffer());
  ev.SetBufferOffset(10);
  EXPECT_EQ(ev.GetRawBuffer() + 10, ev.GetBuffer());
  // A datagram of exactly the buffer size fills it; nothing beyond is used.
  std::memset(ev.GetRawBuffer(), 'x', CTCPEvent::GetBufferSize());
  ev.SetRecvSize(4096);
  EXPECT_EQ(4096, ev.GetRecvSize());
  ev.SetRecvSize(5000);
  EXPECT_EQ(4096, ev.GetRecvSize());
  ev.SetRecvSize(-3);
  EXPECT_EQ(0, ev.GetRecvSize());
  ev.SetBufferOffset(99999);
  EXPECT_EQ(ev.GetRawBuffer() + 4096, ev.GetBuffer());
  ev.SetRC(ZEP_TCP_CLOSE);
  EXPECT_TRUE(ev.IsTcpClose());
  EXPECT_FALSE(ev.IsTcpData());
  EXPECT_FALSE(ev.IsTcpNew());
}

// The receive size counts from the consumer's offset (a consumer re-queues
// the rest with both moved); each is clamped alone, so their sum may pass the
// buffer's end, and Received() cuts it there.
TEST(Events, ReceivedIsTheDataPastTheOffsetCutAtTheBuffersEnd) {
  const int size = CTCPEvent::GetBufferSize();
  struct Case {
    int offset, recv;
    int wantOffset;
    size_t wantSize;
  } cases[] = {
      {0, 0, 0, 0},
      {0, 100, 0, 100},
      {0, size, 0, static_cast<size_t>(size)},
      {10, 100, 10, 100},
      {size - 10, 100, size - 10, 10},  // the sum passes the end
      {size, 100, size, 0},             // offset at the end: nothing left
      {size + 50, 100, size, 0},        // an offset past the buffer is clamped
      {10, size + 500, 10, static_cast<size_t>(size - 10)},
      {10, -5, 10, 0},
      {-5, 20, 0, 20},
  };
  for (const Case& c : cases) {
    CTCPEvent ev;
    ev.SetBufferOffset(c.offset);
    ev.SetRecvSize(c.recv);
    const ZEPReceived_tag in = ev.Received();
    EXPECT_EQ(ev.GetRawBuffer() + c.wantOffset, in.m_pData) << c.offset << "+" << c.recv;
    EXPECT_EQ(c.wantSize, in.m_nSize) << c.offset << "+" << c.recv;
    EXPECT_LE(in.m_pData + in.m_nSize, ev.GetRawBuffer() + size);
  }
}

TEST(Events, CmdEventCopiesTheWholeRecord) {
  char rec[kGeneralCmdSize];
  for (int i = 0; i < kGeneralCmdSize; ++i) rec[i] = static_cast<char>(i * 7);
  CCmdEvent::Pool pool;
  CCmdEvent* ev = CCmdEvent::Instance(&pool, reinterpret_cast<GeneralCmd_*>(rec), 9);
  EXPECT_EQ(9, ev->GetSocket());
  EXPECT_EQ(0, std::memcmp(rec, ev->GetCmd(), kGeneralCmdSize));
  SmartPtr<CCmdEvent>(ev).Release();
  EXPECT_EQ(0u, pool.GetCount());
}
