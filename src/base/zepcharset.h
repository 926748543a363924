// zepcharset.h — the daemon's text (GB2312, as the log and the messages are
// written) turned into UTF-8 for a reader that wants it: the log's echo, the
// console's copy of the log, the console's answers.
//
// Owns: one converter for the process (the C library's GB18030 to UTF-8,
// opened at the first conversion and kept to the end), behind its own lock.
//
// Threads and locks: every function may be called from any thread at once.
// A conversion takes the converter's lock, a leaf: nothing is taken inside
// it, so it may run under any lock, g_LogMutex (the log's) included. errno is
// as it was before the call.
//
// Bytes: the text is read as GB18030, the superset of GB2312 (so a text of
// GB2312 and ASCII comes out exactly as the C library's converter gives it).
// A byte that starts no character, or a character cut off by the end of the
// text, becomes one '?' and the conversion goes on with the next byte: "x\xff"
// gives "x?", "\xb5" at the end gives "?", and "\x81\x30\x81" (a four-byte
// character cut short) gives "?0?". A zero byte is a character like any
// other: it stays one zero byte, and what follows it is converted too.
#ifndef ZEP_BASE_ZEPCHARSET_H
#define ZEP_BASE_ZEPCHARSET_H

#include <cstddef>
#include <string>

// The charsets the daemon's text may be sent in: UTF-8 (today's terminals),
// or the log's own GB2312 bytes unchanged.
enum ZEPCharset { kZEPCharsetUtf8 = 0, kZEPCharsetGb2312 = 1 };

// "UTF-8", "UTF8" or "GB2312", in any case: 0 and `charset` set; anything
// else (null included) -1, `charset` unchanged.
int ZEPCharsetByName(const char* name, ZEPCharset& charset);
const char* ZEPCharsetName(ZEPCharset charset);

// Appends the `len` bytes at `text` to `out` in UTF-8. 0; -1 with `out`
// unchanged when there is no converter (the C library has none for
// GB18030, or memory ran out) or `text` is null with `len` > 0. An empty text
// gives 0 and appends nothing.
int ZEPGbToUtf8(const char* text, size_t len, std::string& out);

// Whether ZEPGbToUtf8 converts (it opens the converter).
bool ZEPGbToUtf8Available();

// Appends the `len` bytes at `text` to `out` with every byte above 0x7f
// replaced by '?': UTF-8 (plain ASCII) whatever the text was, for a reader
// that must get UTF-8 when no converter exists. A null `text` appends nothing.
void ZEPMaskNonAscii(const char* text, size_t len, std::string& out);

#endif  // ZEP_BASE_ZEPCHARSET_H
