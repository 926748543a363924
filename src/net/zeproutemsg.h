// zeproutemsg.h — what the kernel's route messages say about the host's
// IPv4 addresses and links: the reading of one datagram of a netlink route
// socket (NETLINK_ROUTE) subscribed to address and link changes.
//
// Owns nothing. Plain functions over (pointer, length); any thread; no lock,
// no system call, no allocation. The layout is Linux's netlink format, in
// host byte order, read byte by byte (no alignment is assumed of the buffer),
// so the reading is the same on every system and testable anywhere; only a
// Linux host has such a socket to read (ZEPTCP::CreateNetlinkSocket).
//
// Bad input: every length in the datagram is checked against what is left
// before anything it covers is read. A message header whose length is too
// small or runs past the end stops the reading (nothing after it can be
// framed); an address or link message too short for its fixed part is
// passed over; an attribute whose length lies ends that message's
// attributes. Each of these marks the news broken; whatever was read before
// the fault is still counted.
#ifndef ZEP_NET_ZEPROUTEMSG_H
#define ZEP_NET_ZEPROUTEMSG_H

#include <cstddef>
#include <cstdint>

// The socket's protocol and multicast groups (the values of Linux's
// NETLINK_ROUTE, RTMGRP_LINK and RTMGRP_IPV4_IFADDR).
#define ZEP_NETLINK_ROUTE 0
#define ZEP_RTMGRP_LINK 0x1u
#define ZEP_RTMGRP_IPV4_IFADDR 0x10u

// What one datagram told.
struct ZEPRouteNews_tag {
  int m_nAddrAdded = 0;    // IPv4 addresses added (RTM_NEWADDR)
  int m_nAddrRemoved = 0;  // IPv4 addresses removed (RTM_DELADDR)
  int m_nLinkUp = 0;       // links that came up: up and running, with one of those flags changed
  int m_nLinkDown = 0;     // links that went down or away
  int m_nErrors = 0;       // NLMSG_ERROR and NLMSG_OVERRUN messages
  // The last IPv4 address added or removed (network order, 0: none given)
  // and its interface index.
  uint32_t m_nAddr = 0;
  int m_nIfIndex = 0;
  bool m_bAddrAdded = false;  // whether m_nAddr was added (else removed)
  // A length in the datagram did not fit: part of it was not read (a
  // datagram cut short by the read holds a message that may have told of a
  // change).
  bool m_bBroken = false;

  // Whether an address may have come or gone: something the accounts act on.
  bool Changed() const { return m_nAddrAdded + m_nAddrRemoved + m_nLinkUp > 0 || m_bBroken; }
};

// Reads the messages of one datagram into *pNews (reset first). NLMSG_DONE
// ends the reading (what follows it is not a message); NLMSG_NOOP and the
// types that are neither address nor link messages are passed over. 0 when
// every byte was framed, -1 when a length did not fit (m_bBroken) or the
// arguments are unusable (null pNews, null pData with a length).
int ZEPParseRouteMsgs(const void* pData, size_t nLength, ZEPRouteNews_tag* pNews);

// Whether a datagram's sender address (as recvfrom filled it, nLength bytes)
// is the kernel: a netlink address with port id 0. Another process may send
// to the socket's port id; only the kernel says what changed.
bool ZEPIsKernelNetlinkSender(const void* pAddr, size_t nLength);

#endif  // ZEP_NET_ZEPROUTEMSG_H
