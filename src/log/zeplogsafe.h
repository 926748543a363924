// zeplogsafe.h — the bytes of a peer, a file or a setting as they may go
// into a log line (or onto a terminal).
//
// Control characters (below 0x20, and 0x7f) and the backslash come out as
// \n, \r, \t, \\ or \xHH (two lower-case hex digits), so that a line end in
// a server's text cannot forge a log line of its own nor a terminal escape
// reach the screen; bytes from 0x80 up (GB2312) and the printable ASCII
// ones are kept as they are. A zero byte is \x00: the text goes by its
// length.
//
// Owns nothing and takes no lock (g_LogMutex neither): any thread may call
// them, under the log lock or not.
#ifndef ZEP_LOG_ZEPLOGSAFE_H
#define ZEP_LOG_ZEPLOGSAFE_H

#include <cstddef>

#include "base/zepstring.h"

// The escaped text ("" for null or empty text, never null). A result that
// would grow past ZEPString::kMaxLength ends before the byte that does not
// fit.
ZEPString ZEPLogSafeText(const ZEPString& text);
ZEPString ZEPLogSafeText(const char* data, size_t len);

#endif  // ZEP_LOG_ZEPLOGSAFE_H
