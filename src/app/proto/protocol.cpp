#include "app/proto/protocol.h"

#include <cstdint>
#include <cstring>

#include "app/proto/scramble.h"
#include "base/zepdecimal.h"
#include "cmd/cmdtransfer.h"

namespace {

// Standard decimal conversion (leading blanks, a sign, digits; anything else
// ends the number, no digits give 0), saturated instead of overflowing.
long ReadDecimal(const ZEPString& value) {
  int64_t n = 0;
  if (ZEPParseSignedDecimal(
          value.GetSafeText(), value.GetLength(), INT32_MIN, INT32_MAX, n,
          kZepDecimalBlanks | kZepDecimalPlus | kZepDecimalPrefix | kZepDecimalSaturate) != 0)
    return 0;
  return static_cast<long>(n);
}

// The received text ends at its first zero byte, like every reader of the
// protocol expects; the copy is owned so the property readers may use it.
ZEPString TextOf(const char* data, int len) {
  if (data == nullptr || len <= 0) return ZEPString();
  const void* nul = std::memchr(data, 0, static_cast<size_t>(len));
  size_t n =
      nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : static_cast<size_t>(len);
  return ZEPString::FromBytes(data, static_cast<uint32_t>(n));
}

}  // namespace

int MakeLoginInner(const DYRAccount_tag& account, const ZEPString& clientId, ZEPString& inner) {
  inner = "";
  CmdTransfer::AddCmdProp(inner, "UserName", account.m_strUserName.GetText());
  CmdTransfer::AddCmdProp(inner, "Password", account.m_strPassword.GetText());
  CmdTransfer::AddCmdProp(inner, "OS", "Unix");
  CmdTransfer::AddCmdProp(inner, "BuildNO", DYR_BUILD_NO);
  CmdTransfer::AddCmdProp(inner, "K", clientId.GetText());
  int index = 0;
  for (const DYRDomain_tag& d : account.m_Domains) {
    ZEPString key("Domain");
    key << index++;
    ZEPString value(d.m_strDomain);
    value << ";" << d.m_strOffline;
    CmdTransfer::AddCmdProp(inner, key.GetText(), value.GetText());
  }
  return 0;
}

int MakeLoginMsg(const DYRAccount_tag& account, const ZEPString& clientId, ZEPString& msg) {
  msg = "";
  ZEPString code;
  code << static_cast<int>(DYR_CMD_LOGIN);
  CmdTransfer::AddCmdProp(msg, "C", code.GetText());
  ZEPString inner;
  MakeLoginInner(account, clientId, inner);
  EnAString(inner, inner);
  CmdTransfer::AddCmdProp(msg, "Data", inner.GetText());
  return 0;
}

int MakeOfflineMsg(const ZEPString& clientId, ZEPString& msg) {
  msg = "";
  ZEPString code;
  code << static_cast<int>(DYR_CMD_OFFLINE);
  CmdTransfer::AddCmdProp(msg, "C", code.GetText());
  CmdTransfer::AddCmdProp(msg, "K", clientId.GetText());
  return 0;
}

int ReadCmdCode(const char* data, int len) {
  ZEPString text = TextOf(data, len);
  return static_cast<int>(ReadDecimal(CmdTransfer::GetCmdProp(text, "C")));
}

int ParseLoginReply(const char* data, int len, DYRLoginReply_tag& reply) {
  reply = DYRLoginReply_tag();
  ZEPString text = TextOf(data, len);
  if (ReadDecimal(CmdTransfer::GetCmdProp(text, "C")) != DYR_CMD_LOGIN_REPLY) {
    return reply.m_Kind = DYR_REPLY_IGNORED;
  }
  // Without "Data" the outer message itself carries the reply properties.
  ZEPString scrambled = CmdTransfer::GetCmdProp(text, "Data");
  if (!scrambled.IsEmpty()) DeAString(scrambled, text);

  ZEPString ok = CmdTransfer::GetCmdProp(text, "OK");
  if (ok.IsEmpty()) return reply.m_Kind = DYR_REPLY_INVALID;
  reply.m_strMsg = CmdTransfer::GetCmdProp(text, "MSG");
  if (ok == "N") return reply.m_Kind = DYR_REPLY_REFUSED;
  reply.m_strExitDYR = CmdTransfer::GetCmdProp(text, "ExitDYR");
  reply.m_strK = CmdTransfer::GetCmdProp(text, "K");
  reply.m_strHasTop = CmdTransfer::GetCmdProp(text, "HasTop");
  reply.m_strReportIPSpan = CmdTransfer::GetCmdProp(text, "ReportIPSpan");
  reply.m_strVersion = CmdTransfer::GetCmdProp(text, "Version");
  reply.m_strDownLoadURL = CmdTransfer::GetCmdProp(text, "DownLoadURL");
  return reply.m_Kind = DYR_REPLY_ACCEPTED;
}

int ReadClientDatagram(bool loggingIn, bool reporting, int link, const char* data, int len,
                       DYRLoginReply_tag& reply) {
  reply = DYRLoginReply_tag();
  if (loggingIn && link == DYR_LINK_MAIN) {
    ParseLoginReply(data, len, reply);
    return DYR_DATAGRAM_LOGIN_REPLY;
  }
  if (reporting && link == DYR_LINK_ASST && ReadCmdCode(data, len) == DYR_CMD_RELOGIN) {
    return DYR_DATAGRAM_RELOGIN;
  }
  return DYR_DATAGRAM_DROP;
}

bool IsUsableLogin(const DYRLoginReply_tag& reply) {
  return reply.m_Kind == DYR_REPLY_ACCEPTED && !reply.m_strExitDYR.IsEmpty() &&
         !reply.m_strK.IsEmpty();
}

int32_t ReadReportSpan(const ZEPString& value) {
  if (value.IsEmpty()) return -1;
  long n = ReadDecimal(value);
  if (n <= 0) return -1;
  if (n < kMinReportSpan) return kMinReportSpan;
  return static_cast<int32_t>(n);
}
