// telnetopt.h — CTelnetOptions, the option negotiation of one console
// connection. At connect the console offers to echo and to suppress
// go-ahead (IAC WILL ECHO, IAC WILL SUPPRESS-GO-AHEAD): a telnet client that
// agrees leaves line mode, sends each key as it is typed and stops echoing
// locally, so the password stays off its screen and every line shows once.
// A raw client (socat, nc) never answers and sees those six bytes once.
//
// A plain state machine with no I/O and no lock: CTelnetInput (telnetline.h)
// hands it each WILL/WONT/DO/DONT request it parses, and it appends the
// answer due, if any. One object belongs to one connection and is used by
// one thread at a time.
//
// The two offered options follow the Q method of negotiation: a side's
// state changes only on a request it does not already honour, and only a
// change is answered, so an answer is never answered again (no loop). The
// console never withdraws an offer on its own, so three states are enough:
//   kWantYes  offered, no answer yet (where a new object starts: the offer is
//             the first thing a console sends)
//   kYes      DO came: the console echoes / sends no go-ahead
//   kNo       DONT came (answered WONT when it was kYes); a later DO turns it
//             back on, answered WILL
// Every other option stays off on both sides. The first request to turn one
// on is refused (DO answered WONT, WILL answered DONT); a repeat of it, and
// every request to turn an option off that is already off, is ignored. So a
// flood of requests gets at most one answer per option and side, and no
// input ever brings more answer bytes than it had request bytes.
#ifndef ZEP_TELNET_TELNETOPT_H
#define ZEP_TELNET_TELNETOPT_H

#include <cstdint>

#include "base/zepstring.h"

// The telnet bytes the console speaks.
enum TelnetByte_ {
  TELNET_IAC = 255,
  TELNET_DONT = 254,
  TELNET_DO = 253,
  TELNET_WONT = 252,
  TELNET_WILL = 251,
  TELNET_SB = 250,
  TELNET_SE = 240,
  TELNET_OPT_ECHO = 1,
  TELNET_OPT_SGA = 3,
};

class CTelnetOptions {
 public:
  enum State { kNo = 0, kYes = 1, kWantYes = 2 };

  // Appends the offer made at connect: IAC WILL ECHO IAC WILL SGA.
  static void AppendOffer(ZEPString& out);

  // One request received: `verb` is WILL, WONT, DO or DONT (any other byte
  // is ignored), `option` any byte. Appends the answer due to `out`.
  void Receive(unsigned char verb, unsigned char option, ZEPString& out);

  // The console's side of `option`: kYes, kWantYes, or kNo.
  State GetOurs(unsigned char option) const;
  // The console echoes what is typed unless the client turned the echo off
  // (it then echoes locally itself).
  bool IsEchoing() const { return m_eEcho != kNo; }

 private:
  // The offered option's state, or null for another option.
  State* Offered(unsigned char option);
  // True the first time `option` is refused in `refused`, which it marks.
  static bool FirstRefusal(uint32_t* refused, unsigned char option);

  State m_eEcho = kWantYes;
  State m_eSga = kWantYes;
  // One bit per option refused once: the console's side (DO answered WONT)
  // and the client's (WILL answered DONT).
  uint32_t m_OursRefused[8] = {};
  uint32_t m_HisRefused[8] = {};
};

#endif  // ZEP_TELNET_TELNETOPT_H
