#include "net/zeproutemsg.h"

#include <cstring>

#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#endif

namespace {

// Linux's netlink layout: sizes, offsets and codes.
const size_t kHeaderSize = 16;  // nlmsghdr: len u32, type u16, flags u16, seq u32, pid u32
const size_t kAddrFixed = 8;    // ifaddrmsg: family, prefixlen, flags, scope (u8), index u32
const size_t kLinkFixed = 16;   // ifinfomsg: family u8, pad, type u16, index, flags, change
const size_t kAttrHeader = 4;   // rtattr: len u16, type u16
const uint16_t kMsgNoop = 1;
const uint16_t kMsgError = 2;
const uint16_t kMsgDone = 3;
const uint16_t kMsgOverrun = 4;
const uint16_t kNewLink = 16;
const uint16_t kDelLink = 17;
const uint16_t kNewAddr = 20;
const uint16_t kDelAddr = 21;
const uint8_t kFamilyInet = 2;
const uint16_t kAttrAddress = 1;
const uint16_t kAttrLocal = 2;
const uint32_t kFlagUp = 0x1;
const uint32_t kFlagRunning = 0x40;
const uint32_t kFlagLowerUp = 0x10000;
const uint16_t kFamilyNetlink = 16;
const size_t kNetlinkAddrSize = 12;  // sockaddr_nl: family u16, pad u16, pid u32, groups u32

#ifdef __linux__
static_assert(sizeof(nlmsghdr) == kHeaderSize && NLMSG_HDRLEN == kHeaderSize, "nlmsghdr");
static_assert(sizeof(ifaddrmsg) == kAddrFixed && sizeof(ifinfomsg) == kLinkFixed, "fixed parts");
static_assert(sizeof(rtattr) == kAttrHeader, "rtattr");
static_assert(NLMSG_NOOP == kMsgNoop && NLMSG_ERROR == kMsgError && NLMSG_DONE == kMsgDone &&
                  NLMSG_OVERRUN == kMsgOverrun,
              "control messages");
static_assert(RTM_NEWLINK == kNewLink && RTM_DELLINK == kDelLink && RTM_NEWADDR == kNewAddr &&
                  RTM_DELADDR == kDelAddr,
              "route message types");
static_assert(AF_INET == kFamilyInet && IFA_ADDRESS == kAttrAddress && IFA_LOCAL == kAttrLocal,
              "address attributes");
static_assert(IFF_UP == kFlagUp && IFF_RUNNING == kFlagRunning, "link flags");
static_assert(AF_NETLINK == kFamilyNetlink && sizeof(sockaddr_nl) == kNetlinkAddrSize,
              "netlink address");
static_assert(NETLINK_ROUTE == ZEP_NETLINK_ROUTE && RTMGRP_LINK == ZEP_RTMGRP_LINK &&
                  RTMGRP_IPV4_IFADDR == ZEP_RTMGRP_IPV4_IFADDR,
              "route socket groups");
#endif

size_t Align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

uint16_t U16(const unsigned char* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

uint32_t U32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// An address message (its whole length within the datagram).
void ReadAddr(const unsigned char* msg, size_t len, bool added, ZEPRouteNews_tag* news) {
  if (len < kHeaderSize + kAddrFixed) {
    news->m_bBroken = true;
    return;
  }
  const unsigned char* fixed = msg + kHeaderSize;
  if (fixed[0] != kFamilyInet) return;
  ++(added ? news->m_nAddrAdded : news->m_nAddrRemoved);
  news->m_nIfIndex = static_cast<int>(U32(fixed + 4));
  news->m_bAddrAdded = added;
  news->m_nAddr = 0;
  // The local address; IFA_ADDRESS stands in for it (the same on all but
  // point-to-point links, where it is the peer's) when it is missing.
  uint32_t address = 0;
  bool haveLocal = false;
  size_t at = kHeaderSize + Align4(kAddrFixed);
  while (at + kAttrHeader <= len) {
    const size_t attrLen = U16(msg + at);
    const uint16_t type = U16(msg + at + 2);
    if (attrLen < kAttrHeader || attrLen > len - at) {
      news->m_bBroken = true;
      break;
    }
    if (attrLen == kAttrHeader + 4 &&
        (type == kAttrLocal || (type == kAttrAddress && !haveLocal))) {
      std::memcpy(&address, msg + at + kAttrHeader, 4);
      haveLocal = haveLocal || type == kAttrLocal;
    }
    const size_t step = Align4(attrLen);
    if (step > len - at) break;  // the last attribute, unpadded
    at += step;
  }
  news->m_nAddr = address;
}

// A link message: up and running with one of those flags changed is a link
// that came up; down (or removed) with one changed, one that went down.
void ReadLink(const unsigned char* msg, size_t len, bool removed, ZEPRouteNews_tag* news) {
  if (len < kHeaderSize + kLinkFixed) {
    news->m_bBroken = true;
    return;
  }
  const unsigned char* fixed = msg + kHeaderSize;
  if (removed) {
    ++news->m_nLinkDown;
    return;
  }
  const uint32_t flags = U32(fixed + 8);
  const uint32_t change = U32(fixed + 12);
  if ((change & (kFlagUp | kFlagRunning | kFlagLowerUp)) == 0) return;  // another change
  const uint32_t upAndRunning = kFlagUp | kFlagRunning;
  if ((flags & upAndRunning) == upAndRunning) {
    ++news->m_nLinkUp;
  } else {
    ++news->m_nLinkDown;
  }
}

}  // namespace

int ZEPParseRouteMsgs(const void* pData, size_t nLength, ZEPRouteNews_tag* pNews) {
  if (pNews == nullptr) return -1;
  *pNews = ZEPRouteNews_tag();
  if (nLength == 0) return 0;
  if (pData == nullptr) return -1;
  const unsigned char* p = static_cast<const unsigned char*>(pData);
  size_t at = 0;
  while (at < nLength) {
    const size_t left = nLength - at;
    if (left < kHeaderSize) {
      pNews->m_bBroken = true;
      break;
    }
    const size_t len = U32(p + at);
    const uint16_t type = U16(p + at + 4);
    // A length below the header's own would never move on; one past the
    // end frames nothing that can be trusted.
    if (len < kHeaderSize || len > left) {
      pNews->m_bBroken = true;
      break;
    }
    const unsigned char* msg = p + at;
    if (type == kMsgDone) break;
    switch (type) {
      case kNewAddr:
      case kDelAddr:
        ReadAddr(msg, len, type == kNewAddr, pNews);
        break;
      case kNewLink:
      case kDelLink:
        ReadLink(msg, len, type == kDelLink, pNews);
        break;
      case kMsgError:
      case kMsgOverrun:
        ++pNews->m_nErrors;
        break;
      case kMsgNoop:
      default:
        break;
    }
    const size_t step = Align4(len);
    if (step >= left) break;  // the last message (its padding may be missing)
    at += step;
  }
  return pNews->m_bBroken ? -1 : 0;
}

bool ZEPIsKernelNetlinkSender(const void* pAddr, size_t nLength) {
  if (pAddr == nullptr || nLength < kNetlinkAddrSize) return false;
  const unsigned char* p = static_cast<const unsigned char*>(pAddr);
  return U16(p) == kFamilyNetlink && U32(p + 4) == 0;
}
