// protocol.h — the DDNS protocol as seen by one account, without sockets.
//
// Owns: `DYRAccount_tag`, the settings of one [DYR_CLIENT] section (server,
// ports, plain-text credentials, domains in file order), and the plain
// functions that turn an account into the datagrams the client sends (login,
// offline request) and a received datagram into a `DYRLoginReply_tag`.
// Everything here works on values and (pointer, length) input so that it can
// be tested and fuzzed without a frame.
//
// Threads: no shared state; any thread may call any function on its own
// objects. The credential cipher (InitDes) must be installed before
// MakeLoginMsg / ParseLoginReply run. Takes no lock.
#ifndef ZEP_APP_PROTO_PROTOCOL_H
#define ZEP_APP_PROTO_PROTOCOL_H

#include <cstdint>
#include <vector>

#include "base/zepstring.h"

// Build number sent at every login; also part of the start-up banner.
#define DYR_BUILD_NO "120"
// Protocol command codes (property "C").
enum DYRCmd_ {
  DYR_CMD_LOGIN = 1,
  DYR_CMD_LOGIN_REPLY = 2,
  DYR_CMD_RELOGIN = 4,
  DYR_CMD_OFFLINE = 5
};

struct DYRDomain_tag {
  ZEPString m_strDomain;   // fully qualified name to keep updated
  ZEPString m_strOffline;  // URL or address used while offline; may be empty
};

struct DYRAccount_tag {
  ZEPString m_strHost;      // server name or dotted address
  ZEPString m_strMainPort;  // decimal text, not validated
  ZEPString m_strAsstPort;
  ZEPString m_strUserName;  // plain text (unscrambled when read)
  ZEPString m_strPassword;  // plain text, from whichever key named it (config/secret.h)
  // "credential NAME" or "file PATH" when the password was read from there;
  // empty for Password=. Never the password.
  ZEPString m_strPasswordFrom;
  // Why the account cannot run (its password could not be had); empty when
  // it can. A refused account is not started.
  ZEPString m_strRefused;
  std::vector<DYRDomain_tag> m_Domains;
};

// Login datagram: "C"=1 and "Data" = the scrambled inner message (user,
// password, "OS"=Unix, "BuildNO"=120, "K"=client id, Domain0..n). A null
// client id (never assigned) leaves "K" out. Returns 0.
int MakeLoginMsg(const DYRAccount_tag& account, const ZEPString& clientId, ZEPString& msg);
// The inner (unscrambled) part of the login message.
int MakeLoginInner(const DYRAccount_tag& account, const ZEPString& clientId, ZEPString& inner);
// Offline request: "C"=5 and "K"=client id ("K" left out for a null id).
int MakeOfflineMsg(const ZEPString& clientId, ZEPString& msg);

enum DYRReplyKind_ {
  DYR_REPLY_IGNORED = 0,  // not a login reply ("C" is not 2)
  DYR_REPLY_INVALID = 1,  // "OK" missing or empty
  DYR_REPLY_REFUSED = 2,  // "OK" = "N"; m_strMsg holds the reason
  DYR_REPLY_ACCEPTED = 3  // the other fields are filled (still checked by the node)
};

struct DYRLoginReply_tag {
  DYRReplyKind_ m_Kind = DYR_REPLY_IGNORED;
  ZEPString m_strMsg;  // "MSG": a refusal's reason, or an accepted login's text
  ZEPString m_strExitDYR;
  ZEPString m_strK;
  ZEPString m_strHasTop;
  ZEPString m_strReportIPSpan;
  ZEPString m_strVersion;
  ZEPString m_strDownLoadURL;
};

// Reads one datagram of `len` bytes as a login reply. The text ends at the
// first zero byte; "Data", when present, is unscrambled and read instead of
// the outer message. Any bytes give a defined result. Returns m_Kind.
int ParseLoginReply(const char* data, int len, DYRLoginReply_tag& reply);

// The command code "C" of one datagram, or 0 when absent or not a number.
int ReadCmdCode(const char* data, int len);

// The link of an account a datagram arrived on.
enum DYRLink_ { DYR_LINK_OTHER = 0, DYR_LINK_MAIN = 1, DYR_LINK_ASST = 2 };
// What the client makes of one datagram.
enum DYRDatagramAction_ {
  DYR_DATAGRAM_DROP = 0,         // not expected in this state or on this link
  DYR_DATAGRAM_LOGIN_REPLY = 1,  // `reply` holds the parsed login reply
  DYR_DATAGRAM_RELOGIN = 2       // the server asks for a new login
};
// The client's reading of `len` bytes that came in on `link`: only the main
// link while it waits for a login reply (`loggingIn`), only the assist link
// while it reports (`reporting`). `reply` is reset first and filled for a
// login reply (its kind may still say ignored or invalid).
int ReadClientDatagram(bool loggingIn, bool reporting, int link, const char* data, int len,
                       DYRLoginReply_tag& reply);
// An accepted reply the client can work with: an egress address and an id.
bool IsUsableLogin(const DYRLoginReply_tag& reply);

// New report period in milliseconds for a "ReportIPSpan" value, or -1 when
// the value must not replace the current period (absent, not a positive
// number). Tiny periods are raised to kMinReportSpan so that a bad reply
// cannot make the client flood its server; huge ones are capped.
static const int32_t kMinReportSpan = 100;
int32_t ReadReportSpan(const ZEPString& value);

#endif  // ZEP_APP_PROTO_PROTOCOL_H
