#include "telnet/telnetline.h"

namespace {
const unsigned char kCR = 13;
const unsigned char kLF = 10;
const unsigned char kBS = 8;
const unsigned char kDEL = 127;
}  // namespace

CTelnetInput::CTelnetInput(size_t maxLine) : m_nMaxLine(maxLine), m_Partial(""), m_Line("") {}

void CTelnetInput::EndLine(ZEPString& echo) {
  if (Echoes()) echo << "\r\n";
  m_Line = m_Partial;
  m_Partial = "";
  m_bLastTooLong = m_bOverflow;
  m_bOverflow = false;
}

bool CTelnetInput::TakeData(unsigned char c, ZEPString& echo) {
  switch (c) {
    case kCR:
      EndLine(echo);
      m_eState = kInLineEnd;
      return true;
    case kLF:
      EndLine(echo);
      return true;
    case 0:
      return false;
    case kBS:
    case kDEL: {
      const uint32_t n = m_Partial.GetLength();
      if (n == 0) return false;
      // A line that passed the limit keeps its start; erasing takes from there.
      m_Partial = m_Partial.Substr(0, n - 1);
      ++m_nEdits;
      if (Echoes()) echo << "\b \b";
      return false;
    }
    default:
      if (m_Partial.GetLength() >= m_nMaxLine) {
        m_bOverflow = true;
        return false;
      }
      m_Partial.Append(reinterpret_cast<const char*>(&c), 1);
      ++m_nEdits;
      if (Echoes()) echo.Append(reinterpret_cast<const char*>(&c), 1);
      return false;
  }
}

CTelnetInput::Result CTelnetInput::Feed(const char* data, size_t len, size_t& used,
                                        ZEPString& out) {
  used = 0;
  if (data == nullptr) return kNeedMore;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  while (used < len) {
    const unsigned char c = p[used++];
    switch (m_eState) {
      case kInLineEnd:
        m_eState = kInData;
        if (c == kLF || c == 0) break;  // the rest of "\r\n" or "\r\0"
        [[fallthrough]];                // any other byte starts the next line
      case kInData:
        if (c == TELNET_IAC) {
          m_eState = kInCommand;
        } else if (TakeData(c, out)) {
          return m_bLastTooLong ? kTooLong : kLine;
        }
        break;
      case kInCommand:
        if (c == TELNET_SB) {
          m_eState = kInSub;
        } else if (c >= TELNET_WILL && c <= TELNET_DONT) {
          m_nVerb = c;
          m_eState = kInOption;
        } else {
          m_eState = kInData;  // IAC IAC and the two-byte commands
        }
        break;
      case kInOption:
        m_Options.Receive(m_nVerb, c, out);
        m_eState = kInData;
        break;
      case kInSub:
        if (c == TELNET_IAC) m_eState = kInSubCommand;
        break;
      case kInSubCommand:
        // IAC SE ends the subnegotiation; IAC IAC is a 255 inside it.
        m_eState = c == TELNET_SE ? kInData : kInSub;
        break;
    }
  }
  return kNeedMore;
}
