// The reference server fed a sequence of datagrams on either port, control
// lines and logins written by the client's own encoder. Properties: every
// log and state line is one line of printable bytes; replies go to the
// source of the login and fit a datagram; a well-formed login under the
// plain "ok" plan gets a reply the client accepts, carrying the id under
// which the server now knows that user; a re-login request reads as one.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/proto/protocol.h"
#include "app/proto/scramble.h"
#include "ddnsserver/ddnsserver.h"
#include "fuzz_util.h"

namespace {

const char kIp[] = "127.0.0.1";
const uint16_t kPort = 40000;

std::string Str(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }

void CheckLog(const std::vector<std::string>& log) {
  for (const std::string& line : log) {
    for (unsigned char c : line) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
  }
}

void CheckOut(const std::vector<ddns::Outgoing>& out, bool fromMain) {
  for (const ddns::Outgoing& o : out) {
    FUZZ_CHECK(o.bytes.size() <= 4096);
    if (!o.onAssist && fromMain) FUZZ_CHECK(o.addr == kIp && o.port == kPort);
    // Whatever the server sends, the client reads without harm.
    std::vector<char> exact = fuzzutil::Exact(o.bytes);
    DYRLoginReply_tag r;
    ParseLoginReply(exact.empty() ? nullptr : exact.data(), static_cast<int>(exact.size()), r);
  }
}

bool Carriable(const std::string& s) {
  return s.find_first_of(std::string("\x01\0", 2)) == std::string::npos;
}

void WellFormedLogin(ddns::Server& server, fuzzutil::Reader& in, bool plainOk, int64_t now) {
  DYRAccount_tag account;
  const std::string user = in.Piece('\n').substr(0, 40);
  account.m_strUserName = ZEPString::FromBytes(user.data(), static_cast<uint32_t>(user.size()));
  account.m_strPassword = "pw";
  const std::string domain = in.Piece('\n').substr(0, 40);
  account.m_Domains.push_back(
      {ZEPString::FromBytes(domain.data(), static_cast<uint32_t>(domain.size())), ""});
  const std::string id = in.Piece('\n').substr(0, 20);
  ZEPString clientId = ZEPString::FromBytes(id.data(), static_cast<uint32_t>(id.size()));
  ZEPString msg;
  MakeLoginMsg(account, clientId, msg);
  std::vector<ddns::Outgoing> out;
  std::vector<std::string> log;
  server.OnMain(msg.GetText(), msg.GetLength(), kIp, kPort, now, out, log);
  CheckLog(log);
  CheckOut(out, true);
  if (!plainOk) return;
  FUZZ_CHECK(out.size() == 1);
  std::vector<char> exact = fuzzutil::Exact(out[0].bytes);
  DYRLoginReply_tag r;
  ParseLoginReply(exact.data(), static_cast<int>(exact.size()), r);
  FUZZ_CHECK(IsUsableLogin(r));
  FUZZ_CHECK(Str(r.m_strExitDYR) == kIp);
  const auto it = server.Clients().find(Str(r.m_strK));
  FUZZ_CHECK(it != server.Clients().end());
  // The user name travels up to its first zero byte, when it can travel.
  const std::string sent = user.substr(0, user.find('\0'));
  FUZZ_CHECK(it->second.user == (Carriable(sent) ? sent : std::string()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool keyed = (InitDes(g_CredentialKey), true);
  (void)keyed;
  fuzzutil::Reader in(data, size);
  ddns::Options options;
  const uint8_t setup = in.Byte();
  if (setup & 1) options.accounts["user"] = "pw";
  bool plainOk = !(setup & 1);
  if (setup & 2) {
    options.plan.clear();
    for (int i = 0; i < 4; ++i)
      options.plan.push_back(static_cast<ddns::ReplyMode>(in.Byte() % 11));
    plainOk = false;
  }
  ddns::Server server(options);
  int64_t now = 1000;
  for (int steps = 0; in.Left() > 0 && steps < 32; ++steps) {
    const uint8_t kind = in.Byte();
    now += kind;
    std::vector<ddns::Outgoing> out;
    std::vector<std::string> log;
    switch (kind % 5) {
      case 0: {
        const std::string d = in.Bytes(in.Word() % 4097);
        std::vector<char> exact = fuzzutil::Exact(d);
        server.OnMain(exact.empty() ? nullptr : exact.data(), exact.size(), kIp, kPort, now, out,
                      log);
        plainOk = false;  // the raw datagram may have changed the plan's position or ids
        break;
      }
      case 1: {
        const std::string d = in.Bytes(in.Word() % 4097);
        std::vector<char> exact = fuzzutil::Exact(d);
        server.OnAssist(exact.empty() ? nullptr : exact.data(), exact.size(), kIp,
                        static_cast<uint16_t>(kPort + 1), now, log);
        break;
      }
      case 2:
        WellFormedLogin(server, in, plainOk, now);
        break;
      case 3: {
        server.Control(in.Piece('\n'), out, log);
        plainOk = false;
        break;
      }
      default: {
        server.RequestRelogin(in.Piece('\n'), out, log);
        for (const ddns::Outgoing& o : out) {
          FUZZ_CHECK(o.onAssist);
          FUZZ_CHECK(ReadCmdCode(o.bytes.data(), static_cast<int>(o.bytes.size())) ==
                     DYR_CMD_RELOGIN);
        }
        break;
      }
    }
    CheckLog(log);
    CheckOut(out, kind % 5 == 0);
  }
  const std::string state = server.StateText(1, 2);
  size_t lines = 0;
  for (unsigned char c : state) {
    if (c == '\n') {
      ++lines;
    } else {
      FUZZ_CHECK(c >= 0x20 && c < 0x7F);
    }
  }
  FUZZ_CHECK(lines == 3 + server.Clients().size() + server.Domains().size());
  return 0;
}
