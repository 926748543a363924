// telnetcharset.h — the charsets a console may speak: their names in the
// configuration, and the daemon's text (the log's GB2312, as the log writes
// it) turned into UTF-8 for the wire.
//
// Plain functions with no state and no lock; any thread. The conversion
// descriptor is the caller's (one per connection, used by one thread).
#ifndef ZEP_TELNET_TELNETCHARSET_H
#define ZEP_TELNET_TELNETCHARSET_H

#include <iconv.h>

#include <cstddef>
#include <string>

// What a console sends: UTF-8 (the default: today's terminals), or the log's
// own GB2312 bytes unchanged.
enum TelnetCharset { kTelnetUtf8 = 0, kTelnetGb2312 = 1 };

// "UTF-8", "UTF8" or "GB2312", in any case: 0 and `charset` set; anything
// else -1, `charset` unchanged.
int TelnetCharsetByName(const char* name, TelnetCharset& charset);
const char* TelnetCharsetName(TelnetCharset charset);

// Appends `len` bytes of the daemon's text to `out` as UTF-8 through `cd`
// (iconv_open("UTF-8", "GB18030")): as the log's echo converts, a byte that
// is no part of a character comes out as '?'; a zero byte stays one.
void TelnetGbToUtf8(iconv_t cd, const char* text, size_t len, std::string& out);

#endif  // ZEP_TELNET_TELNETCHARSET_H
