// The reading of the kernel's route messages: what a datagram says, and that
// no length in it, truthful or not, makes the reader step outside it.
#include "net/zeproutemsg.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Netlink's layout, written out here as the kernel sends it (host order).
enum : uint16_t { kNoop = 1, kError = 2, kDone = 3, kNewLink = 16, kDelLink = 17 };
enum : uint16_t { kNewAddr = 20, kDelAddr = 21, kIfaAddress = 1, kIfaLocal = 2, kIfaLabel = 3 };
const uint16_t kMulti = 2;
const uint32_t kUp = 0x1, kRunning = 0x40;

template <class T>
void Put(std::string& s, T v) {
  s.append(reinterpret_cast<const char*>(&v), sizeof(v));
}

void Pad(std::string& s) { s.append((4 - s.size() % 4) % 4, '\0'); }

void SetU16(std::string& s, size_t at, uint16_t v) { std::memcpy(&s[at], &v, sizeof(v)); }

std::string Attr(uint16_t type, const std::string& payload) {
  std::string a;
  Put<uint16_t>(a, static_cast<uint16_t>(4 + payload.size()));
  Put<uint16_t>(a, type);
  a += payload;
  return a;
}

std::string Ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return std::string(reinterpret_cast<const char*>(&a), 4);
}

// A message: the header (nlmsg_len = the real length unless `len` says
// otherwise), then `body`, padded to 4.
std::string Msg(uint16_t type, const std::string& body, uint16_t flags = 0, int len = -1) {
  std::string m;
  Put<uint32_t>(m, static_cast<uint32_t>(len >= 0 ? len : 16 + static_cast<int>(body.size())));
  Put<uint16_t>(m, type);
  Put<uint16_t>(m, flags);
  Put<uint32_t>(m, 7);  // seq
  Put<uint32_t>(m, 0);  // pid
  m += body;
  Pad(m);
  return m;
}

// ifaddrmsg, then the attributes (each padded but the last).
std::string AddrBody(uint8_t family, uint32_t index, const std::vector<std::string>& attrs) {
  std::string b;
  b += static_cast<char>(family);
  b += '\x20';  // prefix length
  b += '\0';    // flags
  b += '\0';    // scope
  Put<uint32_t>(b, index);
  for (size_t i = 0; i < attrs.size(); ++i) {
    b += attrs[i];
    if (i + 1 < attrs.size()) Pad(b);
  }
  return b;
}

std::string LinkBody(uint32_t flags, uint32_t change) {
  std::string b(4, '\0');  // family, pad, type
  Put<int32_t>(b, 1);      // index
  Put<uint32_t>(b, flags);
  Put<uint32_t>(b, change);
  return b;
}

struct RouteCase {
  const char* name;
  std::string bytes;
  int rc;
  int added, removed, linkUp, linkDown, errors;
  const char* addr;  // last address told, "" when none
  bool changed;
};

std::string Text(uint32_t addr) {
  if (addr == 0) return "";
  char buf[INET_ADDRSTRLEN];
  in_addr a{};
  a.s_addr = addr;
  return inet_ntop(AF_INET, &a, buf, sizeof(buf));
}

std::vector<RouteCase> Cases() {
  const std::string del = Msg(
      kDelAddr, AddrBody(AF_INET, 1,
                         {Attr(kIfaAddress, Ipv4("192.0.2.1")), Attr(kIfaLocal, Ipv4("192.0.2.1")),
                          Attr(kIfaLabel, std::string("lo\0", 3))}));
  const std::string add =
      Msg(kNewAddr, AddrBody(AF_INET, 2, {Attr(kIfaAddress, Ipv4("198.51.100.7"))}));
  std::string lying = del;
  SetU16(lying, 16 + 8, 200);  // the first attribute claims 200 bytes
  std::string tiny = del;
  SetU16(tiny, 16 + 8, 2);  // ...or less than its own header
  std::string error = Msg(kError, std::string(20, '\0'));
  return {
      {"empty", "", 0, 0, 0, 0, 0, 0, "", false},
      {"address removed", del, 0, 0, 1, 0, 0, 0, "192.0.2.1", true},
      {"address added, IFA_ADDRESS only", add, 0, 1, 0, 0, 0, 0, "198.51.100.7", true},
      {"an IPv6 address is not ours",
       Msg(kNewAddr, AddrBody(AF_INET6, 1, {Attr(kIfaAddress, std::string(16, '\1'))})), 0, 0, 0, 0,
       0, 0, "", false},
      {"link up and running", Msg(kNewLink, LinkBody(kUp | kRunning, kUp)), 0, 0, 0, 1, 0, 0, "",
       true},
      {"link message without a flag change", Msg(kNewLink, LinkBody(kUp | kRunning, 0)), 0, 0, 0, 0,
       0, 0, "", false},
      {"link up but not running", Msg(kNewLink, LinkBody(kUp, kRunning)), 0, 0, 0, 0, 1, 0, "",
       false},
      {"link removed", Msg(kDelLink, LinkBody(0, 0)), 0, 0, 0, 0, 1, 0, "", false},
      {"NLMSG_ERROR", error, 0, 0, 0, 0, 0, 1, "", false},
      {"noop, then a removal", Msg(kNoop, "") + del, 0, 0, 1, 0, 0, 0, "192.0.2.1", true},
      {"multipart ended by NLMSG_DONE; what follows is no message",
       Msg(kNewAddr, AddrBody(AF_INET, 1, {Attr(kIfaLocal, Ipv4("127.0.0.1"))}), kMulti) +
           Msg(kDelAddr, AddrBody(AF_INET, 1, {Attr(kIfaLocal, Ipv4("192.0.2.9"))}), kMulti) +
           Msg(kDone, std::string(4, '\0'), kMulti) + std::string(40, '\xff'),
       0, 1, 1, 0, 0, 0, "192.0.2.9", true},
      {"header cut short", del.substr(0, 10), -1, 0, 0, 0, 0, 0, "", true},
      {"length 0 (would never move on)", Msg(kDelAddr, "", 0, 0) + del, -1, 0, 0, 0, 0, 0, "",
       true},
      {"length past the end", Msg(kDelAddr, AddrBody(AF_INET, 1, {}), 0, 4000), -1, 0, 0, 0, 0, 0,
       "", true},
      {"address message too short for its fixed part, then a good one",
       Msg(kNewAddr, std::string(4, '\0')) + del, -1, 0, 1, 0, 0, 0, "192.0.2.1", true},
      {"link message too short for its fixed part", Msg(kNewLink, std::string(8, '\0')), -1, 0, 0,
       0, 0, 0, "", true},
      {"attribute running past the end", lying, -1, 0, 1, 0, 0, 0, "", true},
      {"attribute shorter than its header", tiny, -1, 0, 1, 0, 0, 0, "", true},
      {"a good message after the one whose attribute lies", lying + add, -1, 1, 1, 0, 0, 0,
       "198.51.100.7", true},
  };
}

TEST(ZepRouteMsg, ReadsWhatTheKernelSaysAndSurvivesLyingLengths) {
  for (const RouteCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    // Exactly the datagram's size on the heap: a read past it is an ASan report.
    std::vector<char> exact(c.bytes.begin(), c.bytes.end());
    ZEPRouteNews_tag news;
    news.m_nErrors = 99;  // reset by the reader
    EXPECT_EQ(c.rc, ZEPParseRouteMsgs(exact.empty() ? nullptr : exact.data(), exact.size(), &news));
    EXPECT_EQ(c.added, news.m_nAddrAdded);
    EXPECT_EQ(c.removed, news.m_nAddrRemoved);
    EXPECT_EQ(c.linkUp, news.m_nLinkUp);
    EXPECT_EQ(c.linkDown, news.m_nLinkDown);
    EXPECT_EQ(c.errors, news.m_nErrors);
    EXPECT_EQ(c.addr, Text(news.m_nAddr));
    EXPECT_EQ(c.rc != 0, news.m_bBroken);
    EXPECT_EQ(c.changed, news.Changed());
    // Cut short anywhere, the datagram is still read within its bytes, and
    // tells no more than the whole.
    for (size_t n = 0; n < c.bytes.size(); ++n) {
      std::vector<char> cut(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n));
      ZEPRouteNews_tag part;
      ZEPParseRouteMsgs(cut.empty() ? nullptr : cut.data(), cut.size(), &part);
      EXPECT_LE(part.m_nAddrAdded + part.m_nAddrRemoved + part.m_nLinkUp + part.m_nLinkDown,
                c.added + c.removed + c.linkUp + c.linkDown)
          << "cut at " << n;
    }
  }
  ZEPRouteNews_tag news;
  EXPECT_EQ(-1, ZEPParseRouteMsgs(nullptr, 16, &news));
  EXPECT_EQ(-1, ZEPParseRouteMsgs("", 0, nullptr));
}

TEST(ZepRouteMsg, OnlyTheKernelIsASender) {
  struct NlAddr {
    uint16_t family;
    uint16_t pad;
    uint32_t pid;
    uint32_t groups;
  };
  const NlAddr kernel{16, 0, 0, 0x11}, process{16, 0, 4242, 0}, inet{AF_INET, 0, 0, 0};
  EXPECT_TRUE(ZEPIsKernelNetlinkSender(&kernel, sizeof(kernel)));
  EXPECT_FALSE(ZEPIsKernelNetlinkSender(&process, sizeof(process)));
  EXPECT_FALSE(ZEPIsKernelNetlinkSender(&inet, sizeof(inet)));
  EXPECT_FALSE(ZEPIsKernelNetlinkSender(&kernel, 8));
  EXPECT_FALSE(ZEPIsKernelNetlinkSender(nullptr, 16));
}

}  // namespace
