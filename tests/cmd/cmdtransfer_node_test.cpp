// CmdTransfer as a node: reassembly across TCP events with the re-queue, the
// frame on a real socket, and the byte-rate throttle.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/zepmultithread.h"
#include "cmd/cmdtransfer.h"
#include "support/frame_helpers.h"
#include "support/nettest_util.h"

namespace {

// Registered with the frame but never started: the test thread acts as its
// node thread.
class IdleCmdNode : public CmdTransfer {
 public:
  explicit IdleCmdNode(ZEPFrame* frame) : CmdTransfer(frame) {}
  void doRunNode() override {}
  void DestroyMe() override { delete this; }
};

std::string Frame(uint32_t seq, const std::string& data, int encoding = CTT_PLAIN) {
  static ZEPCmdEncoder enc;
  char out[kGeneralCmdSize];
  int n = enc.Encode(seq, 77, data.data(), static_cast<uint16_t>(data.size()), encoding, out);
  return std::string(out, static_cast<size_t>(n > 0 ? n : 0));
}

CTCPEvent* DataEvent(ZEPFrame* frame, const std::string& bytes) {
  CTCPEvent* ev = frame->AllocTCPEvent();
  std::memcpy(ev->GetRawBuffer(), bytes.data(), bytes.size());
  ev->SetRC(ZEP_TCP_DATA);
  ev->SetRecvSize(static_cast<int>(bytes.size()));
  return ev;
}

TEST(CmdTransferNode, TwoFramesInOneEventAndALoneLengthByte) {
  zeptest::ServedFrame f;
  IdleCmdNode* node = new IdleCmdNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, false));
  const std::string third = Frame(3, "third");
  {
    SmartPtr<CTCPEvent> ev(DataEvent(f.frame, Frame(1, "first") + Frame(2, "second") + third[0]));
    GeneralCmd_* c = node->GetCmd(ev.Get());
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("first", std::string(c->m_Data, c->m_nPayload));
    // The rest went back to the head of the node's queue.
    ASSERT_EQ(ev.Get(), node->PeekEvent());
    node->RecvEvent();
    CTCPEvent* again = CTCPEvent::Narrow(node->Event().Get());
    ASSERT_EQ(ev.Get(), again);
    c = node->GetCmd(again);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("second", std::string(c->m_Data, c->m_nPayload));
    EXPECT_EQ(2u, c->m_nSeq);
    // One byte was left: kept as the next length byte, nothing re-queued.
    EXPECT_EQ(nullptr, node->PeekEvent());
  }
  SmartPtr<CTCPEvent> rest(DataEvent(f.frame, third.substr(1)));
  GeneralCmd_* c = node->GetCmd(rest.Get());
  ASSERT_NE(nullptr, c);
  EXPECT_EQ("third", std::string(c->m_Data, c->m_nPayload));
  EXPECT_FALSE(node->IsRecvBroken());
  // A length no frame can have marks the stream lost.
  SmartPtr<CTCPEvent> bad(DataEvent(f.frame, std::string("\x00\x05zzzz", 6)));
  EXPECT_EQ(nullptr, node->GetCmd(bad.Get()));
  EXPECT_TRUE(node->IsRecvBroken());
  node->InitGetCmd();
  EXPECT_FALSE(node->IsRecvBroken());
  // Non-data events and empty ones are ignored.
  bad->SetRC(ZEP_TCP_CLOSE);
  EXPECT_EQ(nullptr, node->GetCmd(bad.Get()));
  EXPECT_EQ(nullptr, node->GetCmd(nullptr));
}

// Waits until a monotonic second has just begun, so that the calls after it
// fall into one second.
void StartOfSecond() {
  const int64_t ms = ZEPMonoMs() % 1000;
  ZEPSleep(static_cast<unsigned long>(1000 - ms + 5));
}

TEST(CmdTransferNode, SendCmdWritesOneWholeFrame) {
  zeptest::ServedFrame f;
  IdleCmdNode* node = new IdleCmdNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, false));
  int listener = nettest::PlainListener();
  ASSERT_GE(listener, 0);
  int sock = f->CreateClient("127.0.0.1", std::to_string(nettest::LocalPort(listener)).c_str(),
                             ZEP_PROTO_TCP);
  ASSERT_GE(sock, 0);
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  EXPECT_EQ(-1, node->SendCmd(sock, 1, 2, std::string(4097, 'x').c_str(), 0, CTT_PLAIN));
  EXPECT_EQ(-1, node->SendCmd(sock, 1, 2, "abc", 3, CTT_BAD_ZIP));
  EXPECT_EQ(-1, node->SendCmd(sock, 1, 2, "abc", 3, 9));
  // len 0 with text: the text's length.
  ASSERT_EQ(0, node->SendCmd(sock, 0x01020304, 77, "abc", 0, CTT_PLAIN));
  std::string got(19, '\0');
  size_t have = 0;
  while (have < got.size()) {
    ssize_t n = read(peer, &got[have], got.size() - have);
    ASSERT_GT(n, 0);
    have += static_cast<size_t>(n);
  }
  EXPECT_EQ(Frame(0x01020304, "abc"), got);
  // Sends count against the byte rate: at 1000 bytes per second the second
  // 600-byte frame goes out in the next second.
  node->SetBandwidth(1000);
  const std::string big(600, 'b');
  StartOfSecond();
  const int64_t first = ZEPMonoSec();
  ASSERT_EQ(0, node->SendCmd(sock, 1, 77, big.data(), 600, CTT_PLAIN));
  EXPECT_EQ(first, ZEPMonoSec());
  ASSERT_EQ(0, node->SendCmd(sock, 2, 77, big.data(), 600, CTT_PLAIN));
  EXPECT_GT(ZEPMonoSec(), first);
  f->ClearNode(sock, true);
  close(peer);
  close(listener);
}

TEST(CmdTransferThrottle, SecondOfThreeFramesWaitsForTheNextSecond) {
  zeptest::ServedFrame f;
  IdleCmdNode* node = new IdleCmdNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, false));
  node->SetBandwidth(1000);
  StartOfSecond();
  const int64_t first = ZEPMonoSec();
  EXPECT_EQ(0, node->CheckOverload(600));
  EXPECT_EQ(1, node->CheckOverload(600));
  EXPECT_GT(ZEPMonoSec(), first);
  // Under the limit nothing waits.
  node->SetBandwidth(10485760);
  StartOfSecond();
  EXPECT_EQ(0, node->CheckOverload(600));
  EXPECT_EQ(0, node->CheckOverload(600));
}

TEST(CmdTransferThrottle, ProcessWideLimitCountsEveryObject) {
  zeptest::ServedFrame f;
  IdleCmdNode* a = new IdleCmdNode(f.frame);
  IdleCmdNode* b = new IdleCmdNode(f.frame);
  ASSERT_EQ(0, f->AddNode(a, false));
  ASSERT_EQ(0, f->AddNode(b, false));
  CmdTransfer::SetTotalBandwidth(1000);
  StartOfSecond();
  const int64_t first = ZEPMonoSec();
  EXPECT_EQ(0, a->CheckOverload(600));
  EXPECT_EQ(1, b->CheckOverload(600));
  EXPECT_GT(ZEPMonoSec(), first);
  CmdTransfer::SetTotalBandwidth(CmdTransfer::kNoTotalLimit);
}

}  // namespace
