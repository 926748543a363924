// telnetcharset.h — the charsets a console may speak and their names in the
// configuration. The daemon's text (the log's GB2312) becomes UTF-8 for the
// wire through base/zepcharset.h.
//
// Plain functions with no state and no lock; any thread.
#ifndef ZEP_TELNET_TELNETCHARSET_H
#define ZEP_TELNET_TELNETCHARSET_H

// What a console sends: UTF-8 (the default: today's terminals), or the log's
// own GB2312 bytes unchanged.
enum TelnetCharset { kTelnetUtf8 = 0, kTelnetGb2312 = 1 };

// "UTF-8", "UTF8" or "GB2312", in any case: 0 and `charset` set; anything
// else -1, `charset` unchanged.
int TelnetCharsetByName(const char* name, TelnetCharset& charset);
const char* TelnetCharsetName(TelnetCharset charset);

#endif  // ZEP_TELNET_TELNETCHARSET_H
