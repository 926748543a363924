// The reading of the kernel's route messages (a datagram of the daemon's
// netlink route socket). Properties: any bytes are read within their length
// and tell no more messages than the bytes can frame; a clean result has no
// broken mark; an address is told only with an address change; and a
// datagram built from the input as the kernel builds one (address and link
// messages, padded, maybe ended by NLMSG_DONE) reads back to exactly what
// was put in.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "net/zeproutemsg.h"

namespace {

void ReadAny(const std::string& bytes) {
  std::vector<char> exact = fuzzutil::Exact(bytes);
  ZEPRouteNews_tag news;
  const int rc = ZEPParseRouteMsgs(exact.empty() ? nullptr : exact.data(), exact.size(), &news);
  FUZZ_CHECK(rc == 0 || rc == -1);
  FUZZ_CHECK((rc == -1) == news.m_bBroken);
  const size_t told = static_cast<size_t>(news.m_nAddrAdded) + news.m_nAddrRemoved +
                      news.m_nLinkUp + news.m_nLinkDown + news.m_nErrors;
  FUZZ_CHECK(news.m_nAddrAdded >= 0 && news.m_nAddrRemoved >= 0 && news.m_nLinkUp >= 0 &&
             news.m_nLinkDown >= 0 && news.m_nErrors >= 0);
  FUZZ_CHECK(told <= bytes.size() / 16);
  if (news.m_nAddr != 0) FUZZ_CHECK(news.m_nAddrAdded + news.m_nAddrRemoved > 0);
}

template <class T>
void Put(std::string& s, T v) {
  s.append(reinterpret_cast<const char*>(&v), sizeof(v));
}

void Pad(std::string& s) { s.append((4 - s.size() % 4) % 4, '\0'); }

// Messages cut from the input, each as the kernel writes it.
void RoundTrip(fuzzutil::Reader& in) {
  std::string dgram;
  int added = 0, removed = 0, up = 0, down = 0;
  uint32_t last = 0;
  const int count = in.Byte() % 8;
  for (int i = 0; i < count; ++i) {
    const uint8_t kind = in.Byte() % 4;
    std::string body;
    uint16_t type;
    if (kind < 2) {  // an IPv4 address added or removed, with its IFA_LOCAL
      type = kind == 0 ? 20 : 21;
      uint32_t addr = 0;
      for (int b = 0; b < 4; ++b) addr = addr << 8 | in.Byte();
      body += '\x02';
      body += std::string(3, '\0');
      Put<uint32_t>(body, in.Byte());
      Put<uint16_t>(body, 8);
      Put<uint16_t>(body, 2);
      Put<uint32_t>(body, addr);
      // An attribute of any other type and length after it.
      const std::string extra = in.Bytes(in.Byte() % 24);
      Put<uint16_t>(body, static_cast<uint16_t>(4 + extra.size()));
      Put<uint16_t>(body, 3);
      body += extra;
      ++(kind == 0 ? added : removed);
      last = addr;
    } else {  // a link message with flags and changed flags from the input
      type = kind == 2 ? 16 : 17;
      const uint32_t flags = in.Byte() & 0x41u;
      const uint32_t change = in.Byte() & 0x41u;
      body += std::string(4, '\0');
      Put<int32_t>(body, 1);
      Put<uint32_t>(body, flags);
      Put<uint32_t>(body, change);
      if (type == 17) {
        ++down;
      } else if (change != 0) {
        ++((flags & 0x41u) == 0x41u ? up : down);
      }
    }
    Pad(dgram);
    Put<uint32_t>(dgram, static_cast<uint32_t>(16 + body.size()));
    Put<uint16_t>(dgram, type);
    Put<uint16_t>(dgram, 0);
    Put<uint32_t>(dgram, 0);
    Put<uint32_t>(dgram, 0);
    dgram += body;
  }
  if (in.Byte() & 1) {  // NLMSG_DONE, and bytes after it that are no message
    Pad(dgram);
    Put<uint32_t>(dgram, 20);
    Put<uint16_t>(dgram, 3);
    dgram += std::string(14, '\0');
    dgram += in.Bytes(32);
  }
  std::vector<char> exact = fuzzutil::Exact(dgram);
  ZEPRouteNews_tag news;
  FUZZ_CHECK(ZEPParseRouteMsgs(exact.data(), exact.size(), &news) == 0);
  FUZZ_CHECK(news.m_nAddrAdded == added && news.m_nAddrRemoved == removed);
  FUZZ_CHECK(news.m_nLinkUp == up && news.m_nLinkDown == down && news.m_nErrors == 0);
  // The address's bytes as they stood in the last address message.
  if (added + removed > 0) FUZZ_CHECK(news.m_nAddr == last);
  FUZZ_CHECK(news.Changed() == (added + removed + up > 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Reader in(data, size);
  if (in.Byte() & 0x80) {
    RoundTrip(in);
  } else {
    ReadAny(in.Rest());
  }
  return 0;
}
