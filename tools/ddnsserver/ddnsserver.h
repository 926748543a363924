// ddnsserver.h — the reference DDNS server: the server side of the client's
// UDP protocol, for tests and for the demo.
//
// Owns: the account table, the clients it has assigned ids to, the domains
// they logged in with, and the reply plan (how to answer the next logins).
// It does no socket work itself: the caller hands it one datagram at a time
// with the source address and sends the datagrams it returns, so every
// handler is a plain function of its input and can be fed any bytes.
//
// Threads: one thread only (the server's poll loop); no locks.
#ifndef ZEP_TOOLS_DDNSSERVER_H
#define ZEP_TOOLS_DDNSSERVER_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ddns {

// How one login is answered.
enum class ReplyMode {
  kOk,          // accepted (or refused when the credentials are wrong)
  kRefuse,      // OK=N with the refusal message
  kNoOk,        // every key but "OK": an invalid reply
  kEmptyExit,   // OK=Y with an empty ExitDYR: invalid
  kEmptyK,      // OK=Y with an empty K: invalid
  kPlain,       // the inner keys in the outer message, no "Data"
  kBrokenData,  // C=2 with a "Data" of bytes outside the text alphabet
  kHugeData,    // C=2 with a "Data" filling a 4096-byte datagram
  kRandom,      // random bytes, up to 4096
  kWrongC,      // a correct reply carrying C=3: must be ignored
  kSilent,      // no answer at all
};

bool ParseReplyMode(const std::string& name, ReplyMode& mode);
const char* ReplyModeName(ReplyMode mode);
// "ok,refuse,ok": one mode per login in turn, the last one repeating.
bool ParseReplyPlan(const std::string& text, std::vector<ReplyMode>& plan);

struct Options {
  std::map<std::string, std::string> accounts;  // user -> password; empty: accept anyone
  std::vector<ReplyMode> plan{ReplyMode::kOk};
  std::string message = "welcome";        // MSG of an accepted reply
  std::string refuseMessage = "refused";  // MSG of a refusal
  std::string exitAddr;                   // forced ExitDYR; empty: the source address
  bool hasTopSet = false;
  std::string hasTop;
  bool reportSpanSet = false;
  std::string reportSpan;
  std::string version;  // sent with DownLoadURL when not empty
  std::string downloadUrl;
  std::string forcedId;  // every login gets this id when not empty
  unsigned long firstId = 10001;
};

// Account lines: "user password", blank lines and lines starting with "#"
// ignored. Returns the number of accounts read, -1 for a malformed line
// (`error` names it).
int ParseAccounts(const std::string& text, std::map<std::string, std::string>& accounts,
                  std::string& error);

// One datagram to send: to the source (main socket) or to a client's report
// address (assist socket).
struct Outgoing {
  bool onAssist = false;
  std::string addr;  // dotted IPv4
  uint16_t port = 0;
  std::string bytes;
};

struct Domain {
  std::string name;
  std::string offlineTarget;
  std::string clientId;
  bool online = false;
  std::string address;  // current address, or the offline target once offline
  int64_t lastReportMs = 0;
};

struct Client {
  std::string id;
  std::string user;
  std::string loginAddr;   // source of the last login, ip:port
  std::string exitAddr;    // ExitDYR sent at the last accepted login
  std::string reportAddr;  // source of the last report, ip:port
  std::string reportIp;
  uint16_t reportPort = 0;
  int64_t lastLoginMs = 0;
  int64_t lastReportMs = 0;
  unsigned long reports = 0;
  std::string lastInner;  // decrypted inner message of the last login
};

// A login as the server reads it: the inner message (unscrambled "Data", or
// the outer message when it has none), the credentials, the id the client
// presents and its domains (name, offline target) in order.
struct LoginRequest {
  std::string inner;
  std::string user;
  std::string password;
  std::string presentedId;
  std::vector<std::pair<std::string, std::string>> domains;
};
LoginRequest ParseLogin(const std::string& outer);

// How the server answers one login.
struct LoginDecision {
  ReplyMode mode = ReplyMode::kOk;
  bool credentialsOk = false;
  const char* result = "accepted";  // for the log line
  std::string exitAddr;             // the ExitDYR to send
  bool registers = false;           // the client and its domains are recorded
  std::string id;                   // empty when the reply carries none
};

class Server {
 public:
  explicit Server(const Options& options);

  // A datagram on the main port. Appends the log lines it produces to `log`
  // and the replies to `out`.
  void OnMain(const char* data, size_t len, const std::string& ip, uint16_t port, int64_t nowMs,
              std::vector<Outgoing>& out, std::vector<std::string>& log);
  // A datagram on the assist port (a report: the bare client id).
  void OnAssist(const char* data, size_t len, const std::string& ip, uint16_t port, int64_t nowMs,
                std::vector<std::string>& log);
  // Asks one client (or every client when `id` is empty) to log in again,
  // at the address of its last report.
  void RequestRelogin(const std::string& id, std::vector<Outgoing>& out,
                      std::vector<std::string>& log);
  // One line of the control file ("relogin [id]", "reply PLAN", "hastop V|-",
  // "span MS|-", "exit ADDR|-", "version V URL|-"). Returns false for an
  // unknown command.
  bool Control(const std::string& line, std::vector<Outgoing>& out, std::vector<std::string>& log);

  // The whole state as text: counters, clients and domains.
  std::string StateText(uint16_t mainPort, uint16_t assistPort) const;

  const std::map<std::string, Client>& Clients() const { return m_Clients; }
  const std::map<std::string, Domain>& Domains() const { return m_Domains; }

 private:
  // A login, in its steps: read it, decide the answer (taking the next mode
  // of the plan and an id), record the client, build the inner reply, wrap
  // it in the datagram the mode calls for.
  void OnLogin(const std::string& outer, const std::string& ip, uint16_t port, int64_t nowMs,
               std::vector<Outgoing>& out, std::vector<std::string>& log);
  LoginDecision DecideLogin(const LoginRequest& req, const std::string& ip);
  void RecordLogin(const LoginRequest& req, const LoginDecision& d, const std::string& from,
                   int64_t nowMs);
  std::string InnerReply(const LoginDecision& d) const;
  // False when the mode sends nothing.
  bool LoginDatagram(ReplyMode mode, const std::string& innerReply, std::string& bytes);
  void OnOffline(const std::string& outer, std::vector<std::string>& log);
  std::string AssignId(const std::string& user, const std::string& presented);
  ReplyMode NextMode();
  uint64_t Rand();

  Options m_Options;
  std::map<std::string, Client> m_Clients;  // by id
  std::map<std::string, Domain> m_Domains;  // by name
  unsigned long m_NextId;
  size_t m_Logins = 0;
  unsigned long m_Seq = 0;
  unsigned long m_Reports = 0;
  unsigned long m_Offlines = 0;
  unsigned long m_Ignored = 0;
  uint64_t m_Rand = 0x9E3779B97F4A7C15ull;
};

// Bytes as lowercase hex; bytes for a state or log value with everything
// outside "!".."~" (and "%") written as %XX, so values never hold spaces.
std::string Hex(const std::string& bytes);
std::string Escape(const std::string& bytes);

}  // namespace ddns

#endif  // ZEP_TOOLS_DDNSSERVER_H
