#include "net/zepaddr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "base/zepdecimal.h"

bool ZEPParseIPv4(const char* szText, uint32_t* pAddr) {
  if (szText == nullptr) return false;
  uint32_t host = 0;
  const char* s = szText;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*s != '.') return false;
      ++s;
    }
    int digits = 0;
    unsigned v = 0;
    while (*s >= '0' && *s <= '9') {
      if (++digits > 3) return false;
      v = v * 10 + static_cast<unsigned>(*s - '0');
      ++s;
    }
    if (digits == 0 || v > 255) return false;
    host = (host << 8) | v;
  }
  if (*s != '\0') return false;
  if (pAddr != nullptr) *pAddr = htonl(host);
  return true;
}

ZEPString ZEPIPv4Text(uint32_t nAddr) {
  char buf[INET_ADDRSTRLEN] = {0};
  in_addr a;
  a.s_addr = nAddr;
  inet_ntop(AF_INET, &a, buf, sizeof(buf));
  return ZEPString(buf);
}

bool ZEPResolveIPv4(const char* szHost, uint32_t* pAddr) {
  if (szHost == nullptr || *szHost == '\0') return false;
  if (ZEPParseIPv4(szHost, pAddr)) return true;
  // getaddrinfo rather than gethostbyname: several node threads resolve at
  // the same time.
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  addrinfo* res = nullptr;
  if (getaddrinfo(szHost, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  bool ok = false;
  for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
      if (pAddr != nullptr) *pAddr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      ok = true;
      break;
    }
  }
  freeaddrinfo(res);
  return ok;
}

ZEPString ZEPHostName() {
  char buf[128];
  if (gethostname(buf, sizeof(buf)) != 0) return ZEPString("");
  buf[sizeof(buf) - 1] = '\0';
  return ZEPString(buf);
}

bool ZEPIsDecimal(const char* szText) {
  if (szText == nullptr) return false;
  for (; *szText != '\0'; ++szText)
    if (*szText < '0' || *szText > '9') return false;
  return true;
}

int ZEPParsePort(const char* szText, bool bTcp) {
  if (szText == nullptr) return -1;
  if (*szText == '\0') return 0;
  if (ZEPIsDecimal(szText)) {
    uint64_t port = 0;
    if (ZEPParseDecimal(szText, std::strlen(szText), 0, 65535, port) != 0) return -1;
    return static_cast<int>(port);
  }
  servent se;
  servent* pse = nullptr;
  char buf[1024];
  if (getservbyname_r(szText, bTcp ? "tcp" : "udp", &se, buf, sizeof(buf), &pse) != 0 ||
      pse == nullptr)
    return -1;
  return ntohs(static_cast<uint16_t>(pse->s_port));
}
