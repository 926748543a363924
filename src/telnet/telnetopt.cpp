#include "telnet/telnetopt.h"

namespace {

void AppendCommand(ZEPString& out, unsigned char verb, unsigned char option) {
  const unsigned char cmd[3] = {TELNET_IAC, verb, option};
  out.Append(reinterpret_cast<const char*>(cmd), 3);
}

}  // namespace

void CTelnetOptions::AppendOffer(ZEPString& out) {
  AppendCommand(out, TELNET_WILL, TELNET_OPT_ECHO);
  AppendCommand(out, TELNET_WILL, TELNET_OPT_SGA);
}

CTelnetOptions::State* CTelnetOptions::Offered(unsigned char option) {
  if (option == TELNET_OPT_ECHO) return &m_eEcho;
  if (option == TELNET_OPT_SGA) return &m_eSga;
  return nullptr;
}

CTelnetOptions::State CTelnetOptions::GetOurs(unsigned char option) const {
  if (option == TELNET_OPT_ECHO) return m_eEcho;
  if (option == TELNET_OPT_SGA) return m_eSga;
  return kNo;
}

bool CTelnetOptions::FirstRefusal(uint32_t* refused, unsigned char option) {
  const uint32_t bit = 1u << (option & 31);
  uint32_t& word = refused[option >> 5];
  if ((word & bit) != 0) return false;
  word |= bit;
  return true;
}

void CTelnetOptions::Receive(unsigned char verb, unsigned char option, ZEPString& out) {
  State* ours = Offered(option);
  switch (verb) {
    case TELNET_DO:
      if (ours == nullptr) {
        if (FirstRefusal(m_OursRefused, option)) AppendCommand(out, TELNET_WONT, option);
      } else {
        // After a refusal the client asks again: agreed. An answer to the
        // offer (kWantYes) or a repeat (kYes) changes nothing on the wire.
        if (*ours == kNo) AppendCommand(out, TELNET_WILL, option);
        *ours = kYes;
      }
      break;
    case TELNET_DONT:
      // The client may always turn an option off. Refusing the offer
      // (kWantYes) is itself the answer; only a change from kYes is
      // acknowledged.
      if (ours != nullptr) {
        if (*ours == kYes) AppendCommand(out, TELNET_WONT, option);
        *ours = kNo;
      }
      break;
    case TELNET_WILL:
      if (FirstRefusal(m_HisRefused, option)) AppendCommand(out, TELNET_DONT, option);
      break;
    default:  // WONT: the client's side of every option is off already
      break;
  }
}
