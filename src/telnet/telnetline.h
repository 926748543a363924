// telnetline.h — CTelnetInput, what a console connection's bytes mean: the
// line being typed, its echo, the end of a line, erasing, and the telnet
// commands a client may send: option requests go to the connection's
// negotiation state (CTelnetOptions, telnetopt.h), the rest is skipped.
//
// A plain state machine over (pointer, length) with no I/O, no frame and no
// lock, so that it can be fed any bytes in any chunks (the console node does,
// and so does the fuzz test). One object belongs to one connection and is
// used by one thread at a time.
//
// What the bytes do:
//   CR, or LF not after a CR   ends the line; echo "\r\n". A LF or NUL right
//                              after a CR (also in the next chunk) is the
//                              rest of that line end and is dropped.
//   BS (8) or DEL (127)        erases the last byte of the line, echo "\b \b";
//                              on an empty line nothing happens, no echo.
//   NUL                        dropped.
//   IAC (255) sequences        never echoed, never part of a line: option
//                              requests (IAC WILL/WONT/DO/DONT option) are
//                              answered as CTelnetOptions says; IAC IAC (an
//                              escaped 255), subnegotiation (IAC SB ... IAC
//                              SE, swallowed until its end, however late)
//                              and the two-byte commands are skipped. A
//                              sequence may be split across chunks.
//   anything else              appended and echoed, up to the line limit;
//                              bytes past it are dropped and not echoed, and
//                              the line is reported as too long.
// Only the bytes that add to the line or erase from it are typing
// (GetEdits): NUL, line-end leftovers, telnet commands and bytes past the
// limit change nothing, so a client cannot pass them off as a person typing.
// Password mode echoes nothing: the typed text never goes back on the wire.
// Nor does command mode once the client turned the console's echo off
// (DONT ECHO: it echoes locally then).
#ifndef ZEP_TELNET_TELNETLINE_H
#define ZEP_TELNET_TELNETLINE_H

#include <cstddef>
#include <cstdint>

#include "base/zepstring.h"
#include "telnet/telnetopt.h"

// Longest command line a console keeps by default.
#define TELNET_MAX_LINE 1024

class CTelnetInput {
 public:
  enum Result {
    kNeedMore = 0,  // every byte was taken; no line ended
    kLine = 1,      // a line ended: GetLine() holds it
    kTooLong = 2,   // a line ended that had more than the limit; GetLine() holds its start
  };

  explicit CTelnetInput(size_t maxLine = TELNET_MAX_LINE);

  // Echo on (command mode) or off (password mode). Default: off.
  void SetEcho(bool on) { m_bEcho = on; }
  bool IsEcho() const { return m_bEcho; }

  // Takes bytes from `data` until a line ends or `len` are taken; `used` is
  // set to the number taken. What goes back to the client, the echo and the
  // answers to option requests in the order they came, is appended to
  // `out`. On kLine and kTooLong the caller handles GetLine() and feeds the
  // rest (data + used) again. A null `data` takes nothing.
  Result Feed(const char* data, size_t len, size_t& used, ZEPString& out);

  // The line that ended at the last kLine or kTooLong ("" before any).
  const ZEPString& GetLine() const { return m_Line; }
  // The text typed so far on the current line.
  const ZEPString& GetPartial() const { return m_Partial; }
  size_t GetMaxLine() const { return m_nMaxLine; }
  // How often a byte was added to a line or erased from one so far.
  uint64_t GetEdits() const { return m_nEdits; }
  const CTelnetOptions& GetOptions() const { return m_Options; }

 private:
  enum State { kInData, kInLineEnd, kInCommand, kInOption, kInSub, kInSubCommand };
  // A byte of data in state kInData; true when it ended a line.
  bool TakeData(unsigned char c, ZEPString& echo);
  void EndLine(ZEPString& echo);
  // Typed text goes back: command mode, and the client did not refuse.
  bool Echoes() const { return m_bEcho && m_Options.IsEchoing(); }

  size_t m_nMaxLine;
  bool m_bEcho = false;
  State m_eState = kInData;
  unsigned char m_nVerb = 0;  // the WILL/WONT/DO/DONT of a request in state kInOption
  bool m_bOverflow = false;   // the current line passed the limit
  bool m_bLastTooLong = false;
  uint64_t m_nEdits = 0;
  ZEPString m_Partial;
  ZEPString m_Line;
  CTelnetOptions m_Options;
};

#endif  // ZEP_TELNET_TELNETLINE_H
