// zepaddr.h — IPv4 addresses as text, name resolution, the host name and
// port texts: the one place where the system turns an address into text or
// back.
//
// Owns nothing; every function is a plain function over its arguments. Any
// thread may call any of them at any time: they take no lock and keep no
// state (the resolver is getaddrinfo, the service look-up getservbyname_r,
// both safe to call from several threads at once).
//
// Text form: dotted decimal, exactly four parts of one to three digits, each
// 0-255, nothing before or after. A leading zero is no octal marker
// ("010.0.0.1" is 10.0.0.1), and the shorthand forms some C libraries accept
// ("127.1", hexadecimal parts, one 32-bit number) are no address here.
// Addresses are 32-bit values in network byte order, as in struct in_addr.
#ifndef ZEP_NET_ZEPADDR_H
#define ZEP_NET_ZEPADDR_H

#include <cstdint>

#include "base/zepstring.h"

// The address of a dotted-decimal text (see above) into *pAddr (when not
// null); false, *pAddr untouched, for anything else or null.
bool ZEPParseIPv4(const char* szText, uint32_t* pAddr);

// The dotted-decimal text of an address.
ZEPString ZEPIPv4Text(uint32_t nAddr);

// The address of a host: a dotted-decimal text as such, otherwise the
// resolver's first IPv4 address for the name. False for an empty or null
// host and for a name that does not resolve.
bool ZEPResolveIPv4(const char* szHost, uint32_t* pAddr);

// This host's name (at most 127 characters), or "" when it cannot be had.
ZEPString ZEPHostName();

// True when every character is a decimal digit (so for the empty text too);
// false for null.
bool ZEPIsDecimal(const char* szText);

// The port number of a port text: decimal digits of a number up to 65535
// (leading zeros allowed; the empty text is port 0), or a service name
// looked up for "tcp" (bTcp) or "udp". -1 when the text names no port (or
// is null).
int ZEPParsePort(const char* szText, bool bTcp);

#endif  // ZEP_NET_ZEPADDR_H
