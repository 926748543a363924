// The client's side of the protocol: the login-reply parser and the reading
// of any datagram on either link in any state. Properties: a datagram is read
// only where the client expects it (login replies on the main link while
// logging in, re-login requests on the assist link while reporting); reply
// values carry no separator or zero byte; the report period stays in its
// bounds; and a reply built from the input the way a server builds one
// (scrambled or plain) parses back to exactly its fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/proto/protocol.h"
#include "app/proto/scramble.h"
#include "cmd/cmdtransfer.h"
#include "fuzz_util.h"

namespace {

std::string Str(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }

bool Carriable(const ZEPString& v) {
  const std::string s = Str(v);
  return s.find('\x01') == std::string::npos && s.find('\0') == std::string::npos;
}

void CheckReply(const DYRLoginReply_tag& r) {
  for (const ZEPString* v : {&r.m_strMsg, &r.m_strExitDYR, &r.m_strK, &r.m_strHasTop,
                             &r.m_strReportIPSpan, &r.m_strVersion, &r.m_strDownLoadURL}) {
    FUZZ_CHECK(Carriable(*v));
  }
  if (r.m_Kind != DYR_REPLY_ACCEPTED) {
    FUZZ_CHECK(r.m_strExitDYR.IsNull() && r.m_strK.IsNull());
  }
  // Only a login reply with a verdict carries the server's text.
  if (r.m_Kind != DYR_REPLY_REFUSED && r.m_Kind != DYR_REPLY_ACCEPTED)
    FUZZ_CHECK(r.m_strMsg.IsNull());
  const int32_t span = ReadReportSpan(r.m_strReportIPSpan);
  FUZZ_CHECK(span == -1 || span >= kMinReportSpan);
  FUZZ_CHECK(IsUsableLogin(r) ==
             (r.m_Kind == DYR_REPLY_ACCEPTED && !r.m_strExitDYR.IsEmpty() && !r.m_strK.IsEmpty()));
}

void ReadAnyDatagram(uint8_t selector, const std::string& bytes) {
  std::vector<char> exact = fuzzutil::Exact(bytes);
  const char* p = exact.empty() ? nullptr : exact.data();
  const int len = static_cast<int>(exact.size());
  DYRLoginReply_tag parsed;
  const int kind = ParseLoginReply(p, len, parsed);
  FUZZ_CHECK(kind == parsed.m_Kind);
  CheckReply(parsed);
  const int code = ReadCmdCode(p, len);
  FUZZ_CHECK((code == DYR_CMD_LOGIN_REPLY) == (kind != DYR_REPLY_IGNORED));

  const bool loggingIn = selector & 1;
  const bool reporting = !loggingIn && (selector & 2);
  const int link = (selector >> 2) % 3;
  DYRLoginReply_tag reply;
  const int action = ReadClientDatagram(loggingIn, reporting, link, p, len, reply);
  if (loggingIn && link == DYR_LINK_MAIN) {
    FUZZ_CHECK(action == DYR_DATAGRAM_LOGIN_REPLY && reply.m_Kind == kind);
    FUZZ_CHECK(reply.m_strK == parsed.m_strK && reply.m_strExitDYR == parsed.m_strExitDYR);
  } else if (reporting && link == DYR_LINK_ASST && code == DYR_CMD_RELOGIN) {
    FUZZ_CHECK(action == DYR_DATAGRAM_RELOGIN);
  } else {
    FUZZ_CHECK(action == DYR_DATAGRAM_DROP);
  }
  if (action != DYR_DATAGRAM_LOGIN_REPLY) FUZZ_CHECK(reply.m_Kind == DYR_REPLY_IGNORED);
}

// A reply as the server writes it, from fields cut out of the input.
void RoundTrip(fuzzutil::Reader& in) {
  const uint8_t how = in.Byte();
  const char* keys[] = {"MSG", "ExitDYR", "K", "HasTop", "ReportIPSpan", "Version", "DownLoadURL"};
  std::string values[7];
  ZEPString inner;
  CmdTransfer::AddCmdProp(inner, "OK", (how & 1) ? "N" : "Y");
  for (int i = 0; i < 7; ++i) {
    std::string v = in.Piece('\n');
    v = v.substr(0, v.find('\0'));  // a C string value ends at its zero
    if (CmdTransfer::AddCmdProp(inner, keys[i], v.c_str()) == 0) values[i] = v;
  }
  ZEPString msg;
  CmdTransfer::AddCmdProp(msg, "C", "2");
  if (how & 2) {
    ZEPString scrambled;
    EnAString(inner, scrambled);
    CmdTransfer::AddCmdProp(msg, "Data", scrambled);
  } else {
    msg.Append(inner.GetText() + 1, inner.GetLength() - 1);  // plain: the inner keys outside
  }
  std::vector<char> exact(msg.GetText(), msg.GetText() + msg.GetLength());
  DYRLoginReply_tag r;
  ParseLoginReply(exact.data(), static_cast<int>(exact.size()), r);
  if (how & 1) {
    FUZZ_CHECK(r.m_Kind == DYR_REPLY_REFUSED && Str(r.m_strMsg) == values[0]);
    return;
  }
  FUZZ_CHECK(r.m_Kind == DYR_REPLY_ACCEPTED);
  const ZEPString* got[] = {
      nullptr,         &r.m_strExitDYR,    &r.m_strK, &r.m_strHasTop, &r.m_strReportIPSpan,
      &r.m_strVersion, &r.m_strDownLoadURL};
  for (int i = 1; i < 7; ++i) FUZZ_CHECK(Str(*got[i]) == values[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool keyed = (InitDes(g_CredentialKey), true);
  (void)keyed;
  fuzzutil::Reader in(data, size);
  const uint8_t selector = in.Byte();
  if (selector & 0x80) {
    RoundTrip(in);
  } else {
    ReadAnyDatagram(selector, in.Rest());
  }
  return 0;
}
