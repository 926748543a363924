// The accounts' early actions: the once-a-second gate, and the address watch
// node on a served frame with the real route socket (the kernel answers a
// dump request with address messages, which no test needs privileges for)
// and without one.
#include "app/account/addrwatch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/account/actgate.h"
#include "app/account/clientnode.h"
#include "support/frame_helpers.h"
#include "support/logcapture.h"

#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#endif

namespace {

TEST(DyrActGate, ActionsASecondApartAndOneMoreForWhatCameBetween) {
  // R: a request at that ms (0 act now, 1 deferred, 2 folded; for 1 also the
  // ms until it is due); F: the deferred action's timer fires then (1: act,
  // 0: nothing waits).
  struct Step {
    char op;
    int64_t ms;
    int want;
    int64_t dueIn = 0;
  };
  const std::vector<std::vector<Step>> runs = {
      // A burst: one action, one deferred to a second after it, the rest folded.
      {{'R', 5000, 0},
       {'R', 5001, 1, 999},
       {'R', 5400, 2},
       {'R', 5999, 2},
       {'F', 6000, 1},
       {'F', 6000, 0}},
      // A burst across a second's start is still one burst.
      {{'R', 5999, 0}, {'R', 6001, 1, 998}, {'F', 6999, 1}},
      // The deferred action counts: the next request waits a second from it.
      {{'R', 5000, 0},
       {'R', 5500, 1, 500},
       {'F', 6003, 1},
       {'R', 6500, 1, 503},
       {'F', 7003, 1},
       {'R', 8003, 0}},
      // Requests a second apart act at once; a stray timer does nothing.
      {{'F', 0, 0}, {'R', 0, 0}, {'R', 1000, 0}, {'R', 2500, 0}, {'R', 3499, 1, 1}},
  };
  for (size_t r = 0; r < runs.size(); ++r) {
    CDYRActGate gate;
    for (size_t i = 0; i < runs[r].size(); ++i) {
      const Step& s = runs[r][i];
      const int got = s.op == 'R' ? static_cast<int>(gate.Request(s.ms)) : gate.Fire(s.ms) ? 1 : 0;
      EXPECT_EQ(s.want, got) << "run " << r << " step " << i;
      if (s.op == 'R' && s.want == 1) {
        EXPECT_EQ(s.dueIn, gate.DueInMs(s.ms)) << "run " << r << " step " << i;
      }
    }
  }
}

std::atomic<int> g_nWatchFd{-1};

int OpenAndKeep(ZEPFrame* frame) {
  int fd = frame->CreateNetlinkSocket(ZEP_NETLINK_ROUTE, ZEP_RTMGRP_LINK | ZEP_RTMGRP_IPV4_IFADDR);
  g_nWatchFd.store(fd);
  return fd;
}

int OpenNothing(ZEPFrame*) {
  errno = EAFNOSUPPORT;
  return -1;
}

// A node that counts the address-change events it is told.
zeptest::RecNode* StartCounter(ZEPFrame* frame, std::atomic<int>& told) {
  zeptest::RecNode* node = new zeptest::RecNode(frame);
  node->handler = [&told](CEvent* e) {
    CUserEvent* u = CUserEvent::Narrow(e);
    if (u != nullptr && u->GetTag() == DYR_USER_ADDRESS_CHANGED) told.fetch_add(1);
    return false;
  };
  EXPECT_EQ(0, frame->AddNode(node, true));
  return node;
}

#ifdef __linux__
TEST(DyrAddrWatch, TellsEveryNodeWhatTheKernelSaysAndNothingAnotherProcessSends) {
  zeptest::LogCapture log;
  zeptest::ServedFrame frame;
  std::atomic<int> told{0};
  StartCounter(frame.frame, told);
  g_nWatchFd.store(-1);
  ASSERT_EQ(0, frame->AddNode(new CDYRAddrWatch(frame.frame, &OpenAndKeep), true));
  ASSERT_TRUE(zeptest::WaitFor(
      [&] { return log.Count("INFO", "Address events: the kernel's route socket wakes") == 1; },
      5000));
  const int fd = g_nWatchFd.load();
  ASSERT_GE(fd, 0);
  sockaddr_nl self{};
  socklen_t len = sizeof(self);
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len));

  // Another process's socket sends it an address removal: not the kernel.
  struct {
    nlmsghdr h;
    ifaddrmsg m;
    rtattr a;
    unsigned char addr[4];
  } forged{};
  forged.h.nlmsg_len = sizeof(forged);
  forged.h.nlmsg_type = RTM_DELADDR;
  forged.m.ifa_family = AF_INET;
  forged.a.rta_len = sizeof(rtattr) + 4;
  forged.a.rta_type = IFA_LOCAL;
  const unsigned char testNet[4] = {192, 0, 2, 99};
  std::memcpy(forged.addr, testNet, 4);
  int other = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
  ASSERT_GE(other, 0);
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = self.nl_pid;
  // The kernel may refuse to carry it at all; either way nothing is told.
  (void)sendto(other, &forged, sizeof(forged), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(other);

  // The kernel answers a dump of the IPv4 addresses on the watch's own
  // socket with address messages, read after the forged one.
  struct {
    nlmsghdr h;
    ifaddrmsg m;
  } dump{};
  dump.h.nlmsg_len = sizeof(dump);
  dump.h.nlmsg_type = RTM_GETADDR;
  dump.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  dump.m.ifa_family = AF_INET;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ASSERT_EQ(
      static_cast<ssize_t>(sizeof(dump)),
      sendto(fd, &dump, sizeof(dump), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)));
  ASSERT_TRUE(zeptest::WaitFor([&] { return told.load() >= 1; }, 5000));
  EXPECT_LE(1, log.Count("INFO", " added on interface ")) << "(127.0.0.1 at least)";
  EXPECT_EQ(0, log.Count("", "192.0.2.99"));
  frame.Stop();
}
#endif

TEST(DyrAddrWatch, WithoutARouteSocketOneInfoLineAndTheNodeEnds) {
  zeptest::LogCapture log;
  zeptest::ServedFrame frame;
  std::atomic<int> told{0};
  StartCounter(frame.frame, told);
  ASSERT_EQ(0, frame->AddNode(new CDYRAddrWatch(frame.frame, &OpenNothing), true));
  EXPECT_TRUE(zeptest::WaitFor([&] { return frame->GetNodeCount() == 1; }, 5000));
  EXPECT_EQ(1, log.Count("INFO",
                         "Address events: no route socket (" + std::string(strerror(EAFNOSUPPORT)) +
                             "); the accounts notice address changes by their timers alone."));
  EXPECT_EQ(0, told.load());
  frame.Stop();
}

}  // namespace
