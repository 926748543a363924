#include "ddnsserver.h"

#include <cstdlib>
#include <sstream>

#include "app/proto/scramble.h"
#include "base/zepconst.h"
#include "cmd/cmdtransfer.h"

namespace ddns {

namespace {

const struct {
  ReplyMode mode;
  const char* name;
} kModes[] = {
    {ReplyMode::kOk, "ok"},
    {ReplyMode::kRefuse, "refuse"},
    {ReplyMode::kNoOk, "no-ok"},
    {ReplyMode::kEmptyExit, "empty-exit"},
    {ReplyMode::kEmptyK, "empty-k"},
    {ReplyMode::kPlain, "plain"},
    {ReplyMode::kBrokenData, "broken-data"},
    {ReplyMode::kHugeData, "huge-data"},
    {ReplyMode::kRandom, "random"},
    {ReplyMode::kWrongC, "wrong-c"},
    {ReplyMode::kSilent, "silent"},
};

// The largest datagram the client reads in one event.
constexpr size_t kMaxDatagram = ZEP_TCP_BUFSIZE;
// A 4096-byte datagram cannot hold more domains than this; the bound only
// keeps a hostile message from making the lookup loop long.
constexpr int kMaxDomains = 1024;

std::string Prop(const std::string& msg, const char* key, bool* present = nullptr) {
  ZEPString v = CmdTransfer::GetCmdProp(msg.data(), static_cast<uint32_t>(msg.size()), key);
  if (present) *present = !v.IsNull();
  return std::string(v.GetSafeText(), v.GetLength());
}

void Add(ZEPString& msg, const char* key, const std::string& value) {
  CmdTransfer::AddCmdProp(msg, key,
                          ZEPString::FromBytes(value.data(), static_cast<uint32_t>(value.size())));
}

std::string Str(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }

std::string Endpoint(const std::string& ip, uint16_t port) {
  return ip + ":" + std::to_string(port);
}

}  // namespace

bool ParseReplyMode(const std::string& name, ReplyMode& mode) {
  for (const auto& m : kModes) {
    if (name == m.name) {
      mode = m.mode;
      return true;
    }
  }
  return false;
}

const char* ReplyModeName(ReplyMode mode) {
  for (const auto& m : kModes) {
    if (m.mode == mode) return m.name;
  }
  return "?";
}

bool ParseReplyPlan(const std::string& text, std::vector<ReplyMode>& plan) {
  std::vector<ReplyMode> result;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    ReplyMode m;
    if (!ParseReplyMode(item, m)) return false;
    result.push_back(m);
  }
  if (result.empty()) return false;
  plan = result;
  return true;
}

int ParseAccounts(const std::string& text, std::map<std::string, std::string>& accounts,
                  std::string& error) {
  std::stringstream in(text);
  std::string line;
  int count = 0;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::stringstream words(line);
    std::string user, password, extra;
    if (!(words >> user) || user[0] == '#') continue;
    if (!(words >> password) || (words >> extra)) {
      error = "line " + std::to_string(lineNo) + ": expected \"user password\"";
      return -1;
    }
    accounts[user] = password;
    ++count;
  }
  return count;
}

std::string Hex(const std::string& bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

std::string Escape(const std::string& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : bytes) {
    if (c > ' ' && c < 0x7F && c != '%') {
      s += static_cast<char>(c);
    } else {
      s += '%';
      s += kDigits[c >> 4];
      s += kDigits[c & 15];
    }
  }
  return s;
}

Server::Server(const Options& options) : m_Options(options), m_NextId(options.firstId) {}

uint64_t Server::Rand() {
  // xorshift64: reproducible noise, no seeding needed.
  m_Rand ^= m_Rand << 13;
  m_Rand ^= m_Rand >> 7;
  m_Rand ^= m_Rand << 17;
  return m_Rand;
}

ReplyMode Server::NextMode() {
  const auto& plan = m_Options.plan;
  ReplyMode m = plan[m_Logins < plan.size() ? m_Logins : plan.size() - 1];
  ++m_Logins;
  return m;
}

std::string Server::AssignId(const std::string& user, const std::string& presented) {
  if (!m_Options.forcedId.empty()) return m_Options.forcedId;
  // A client keeps the id it presents unless another user holds it; an id we
  // never issued is adopted, so a restarted server still knows its clients.
  if (!presented.empty()) {
    auto it = m_Clients.find(presented);
    if (it == m_Clients.end() || it->second.user == user) return presented;
  }
  std::string id;
  do {
    id = std::to_string(m_NextId++);
  } while (m_Clients.count(id) != 0);
  return id;
}

void Server::OnMain(const char* data, size_t len, const std::string& ip, uint16_t port,
                    int64_t nowMs, std::vector<Outgoing>& out, std::vector<std::string>& log) {
  const std::string outer(data, len);
  ++m_Seq;
  log.push_back("recv seq=" + std::to_string(m_Seq) + " port=main from=" + Endpoint(ip, port) +
                " len=" + std::to_string(len) + " hex=" + Hex(outer));
  bool present = false;
  const std::string c = Prop(outer, "C", &present);
  const long code = present ? std::strtol(c.c_str(), nullptr, 10) : 0;
  if (code == 1) {
    OnLogin(outer, ip, port, nowMs, out, log);
  } else if (code == 5) {
    OnOffline(outer, log);
  } else {
    ++m_Ignored;
    log.push_back("ignored seq=" + std::to_string(m_Seq) +
                  " port=main reason=command C=" + Escape(c));
  }
}

LoginRequest ParseLogin(const std::string& outer) {
  LoginRequest req;
  const std::string data = Prop(outer, "Data");
  req.inner = outer;  // without "Data" the outer message is read, as the client does
  if (!data.empty()) {
    ZEPString plain;
    DeAString(data.data(), data.size(), plain);
    req.inner = Str(plain);
  }
  req.user = Prop(req.inner, "UserName");
  req.password = Prop(req.inner, "Password");
  req.presentedId = Prop(req.inner, "K");
  for (int i = 0; i < kMaxDomains; ++i) {
    bool present = false;
    const std::string value = Prop(req.inner, ("Domain" + std::to_string(i)).c_str(), &present);
    if (!present) break;
    const size_t semi = value.find(';');
    std::string name = value.substr(0, semi);
    std::string target = semi == std::string::npos ? std::string() : value.substr(semi + 1);
    if (!name.empty()) req.domains.emplace_back(name, target);
  }
  return req;
}

LoginDecision Server::DecideLogin(const LoginRequest& req, const std::string& ip) {
  LoginDecision d;
  d.mode = NextMode();
  d.credentialsOk = m_Options.accounts.empty() || (m_Options.accounts.count(req.user) != 0 &&
                                                   m_Options.accounts.at(req.user) == req.password);
  d.result = "accepted";
  if (d.mode == ReplyMode::kOk && !d.credentialsOk) {
    d.mode = ReplyMode::kRefuse;
    d.result = "bad-credentials";
  } else if (d.mode != ReplyMode::kOk && d.mode != ReplyMode::kPlain) {
    d.result = ReplyModeName(d.mode);
  }
  d.exitAddr = m_Options.exitAddr.empty() ? ip : m_Options.exitAddr;
  d.registers = d.mode == ReplyMode::kOk || d.mode == ReplyMode::kPlain;
  const bool givesId = d.registers || d.mode == ReplyMode::kWrongC || d.mode == ReplyMode::kNoOk ||
                       d.mode == ReplyMode::kEmptyExit;
  if (givesId) d.id = AssignId(req.user, req.presentedId);
  return d;
}

void Server::RecordLogin(const LoginRequest& req, const LoginDecision& d, const std::string& from,
                         int64_t nowMs) {
  Client& client = m_Clients[d.id];
  client.id = d.id;
  client.user = req.user;
  client.loginAddr = from;
  client.exitAddr = d.exitAddr;
  client.lastLoginMs = nowMs;
  client.lastInner = req.inner;
  for (const auto& entry : req.domains) {
    Domain& dom = m_Domains[entry.first];
    dom.name = entry.first;
    dom.offlineTarget = entry.second;
    dom.clientId = d.id;
    dom.online = true;
    dom.address = d.exitAddr;
  }
}

std::string Server::InnerReply(const LoginDecision& d) const {
  ZEPString reply;
  switch (d.mode) {
    case ReplyMode::kRefuse:
      Add(reply, "OK", "N");
      Add(reply, "MSG", d.credentialsOk ? m_Options.refuseMessage : "bad user name or password");
      break;
    case ReplyMode::kNoOk:
      Add(reply, "MSG", m_Options.message);
      Add(reply, "ExitDYR", d.exitAddr);
      Add(reply, "K", d.id);
      break;
    default:
      Add(reply, "OK", "Y");
      Add(reply, "MSG", m_Options.message);
      Add(reply, "ExitDYR", d.mode == ReplyMode::kEmptyExit ? std::string() : d.exitAddr);
      Add(reply, "K", d.mode == ReplyMode::kEmptyK ? std::string() : d.id);
      if (m_Options.hasTopSet) Add(reply, "HasTop", m_Options.hasTop);
      if (m_Options.reportSpanSet) Add(reply, "ReportIPSpan", m_Options.reportSpan);
      if (!m_Options.version.empty()) {
        Add(reply, "Version", m_Options.version);
        Add(reply, "DownLoadURL", m_Options.downloadUrl);
      }
      break;
  }
  return Str(reply);
}

bool Server::LoginDatagram(ReplyMode mode, const std::string& innerReply, std::string& bytes) {
  ZEPString msg;
  switch (mode) {
    case ReplyMode::kSilent:
      return false;
    case ReplyMode::kPlain:
      Add(msg, "C", "2");
      msg.Append(innerReply.data() + 1, static_cast<uint32_t>(innerReply.size() - 1));
      break;
    case ReplyMode::kBrokenData:
    case ReplyMode::kHugeData: {
      // Broken: bytes no scrambled text holds; huge: alphabet text that
      // fills the datagram and unscrambles to noise.
      const bool huge = mode == ReplyMode::kHugeData;
      Add(msg, "C", "2");
      const size_t room = kMaxDatagram - msg.GetLength() - 6;  // "Data=" and the separator
      std::string junk(huge ? room : 300, '\0');
      for (auto& ch : junk) {
        const uint64_t r = Rand();
        ch = huge ? ReadableChar[r % 64] : "!#$%&()+,-./:<>?@[]^{|}~"[r % 24];
      }
      Add(msg, "Data", junk);
      break;
    }
    case ReplyMode::kRandom:
      bytes.resize(1 + Rand() % kMaxDatagram);
      for (auto& ch : bytes) ch = static_cast<char>(Rand());
      return true;
    default: {
      ZEPString scrambled;
      EnAString(innerReply.data(), innerReply.size(), scrambled);
      Add(msg, "C", mode == ReplyMode::kWrongC ? "3" : "2");
      CmdTransfer::AddCmdProp(msg, "Data", scrambled);
      break;
    }
  }
  bytes = Str(msg);
  return true;
}

void Server::OnLogin(const std::string& outer, const std::string& ip, uint16_t port, int64_t nowMs,
                     std::vector<Outgoing>& out, std::vector<std::string>& log) {
  const LoginRequest req = ParseLogin(outer);
  const LoginDecision d = DecideLogin(req, ip);
  const std::string from = Endpoint(ip, port);
  if (d.registers) RecordLogin(req, d, from, nowMs);
  std::string names;
  for (const auto& entry : req.domains) names += (names.empty() ? "" : ",") + Escape(entry.first);
  log.push_back("login seq=" + std::to_string(m_Seq) + " from=" + from +
                " user=" + Escape(req.user) + " result=" + d.result + " id=" + Escape(d.id) +
                " mode=" + ReplyModeName(d.mode) + " domains=" + names +
                " inner_hex=" + Hex(req.inner));

  const std::string innerReply = InnerReply(d);
  Outgoing o;
  if (!LoginDatagram(d.mode, innerReply, o.bytes)) {
    log.push_back("reply seq=" + std::to_string(m_Seq) + " to=" + from + " mode=silent len=0");
    return;
  }
  log.push_back("reply seq=" + std::to_string(m_Seq) + " to=" + from +
                " mode=" + ReplyModeName(d.mode) + " len=" + std::to_string(o.bytes.size()) +
                " inner_hex=" + Hex(innerReply) + " hex=" + Hex(o.bytes));
  o.addr = ip;
  o.port = port;
  out.push_back(o);
}

void Server::OnOffline(const std::string& outer, std::vector<std::string>& log) {
  ++m_Offlines;
  const std::string id = Prop(outer, "K");
  const bool known = !id.empty() && m_Clients.count(id) != 0;
  if (known) {
    for (auto& entry : m_Domains) {
      Domain& d = entry.second;
      if (d.clientId != id) continue;
      d.online = false;
      d.address = d.offlineTarget;
    }
  }
  log.push_back("offline seq=" + std::to_string(m_Seq) + " id=" + Escape(id) +
                " known=" + (known ? "1" : "0"));
}

void Server::OnAssist(const char* data, size_t len, const std::string& ip, uint16_t port,
                      int64_t nowMs, std::vector<std::string>& log) {
  const std::string id(data, len);
  ++m_Seq;
  log.push_back("recv seq=" + std::to_string(m_Seq) + " port=assist from=" + Endpoint(ip, port) +
                " len=" + std::to_string(len) + " hex=" + Hex(id));
  auto it = m_Clients.find(id);
  const bool known = it != m_Clients.end();
  if (known) {
    ++m_Reports;
    Client& c = it->second;
    c.reportAddr = Endpoint(ip, port);
    c.reportIp = ip;
    c.reportPort = port;
    c.lastReportMs = nowMs;
    ++c.reports;
    for (auto& entry : m_Domains) {
      Domain& d = entry.second;
      if (d.clientId != id) continue;
      d.online = true;
      d.address = ip;
      d.lastReportMs = nowMs;
    }
  } else {
    ++m_Ignored;
  }
  log.push_back("report seq=" + std::to_string(m_Seq) + " from=" + Endpoint(ip, port) +
                " id=" + Escape(id) + " known=" + (known ? "1" : "0"));
}

void Server::RequestRelogin(const std::string& id, std::vector<Outgoing>& out,
                            std::vector<std::string>& log) {
  for (const auto& entry : m_Clients) {
    const Client& c = entry.second;
    if (!id.empty() && c.id != id) continue;
    if (c.reportPort == 0) {
      log.push_back("relogin id=" + Escape(c.id) + " skipped=no-report-address");
      continue;
    }
    ZEPString msg;
    Add(msg, "C", "4");
    Outgoing o;
    o.onAssist = true;
    o.addr = c.reportIp;
    o.port = c.reportPort;
    o.bytes = Str(msg);
    out.push_back(o);
    log.push_back("relogin id=" + Escape(c.id) + " to=" + c.reportAddr);
  }
}

bool Server::Control(const std::string& line, std::vector<Outgoing>& out,
                     std::vector<std::string>& log) {
  std::stringstream words(line);
  std::string cmd, a, b;
  words >> cmd >> a >> b;
  bool ok = true;
  if (cmd.empty() || cmd[0] == '#') {
    return true;
  } else if (cmd == "relogin") {
    RequestRelogin(a, out, log);
  } else if (cmd == "reply") {
    std::vector<ReplyMode> plan;
    ok = ParseReplyPlan(a, plan);
    if (ok) {
      m_Options.plan = plan;
      m_Logins = 0;
    }
  } else if (cmd == "hastop") {
    m_Options.hasTopSet = a != "-";
    m_Options.hasTop = a;
  } else if (cmd == "span") {
    m_Options.reportSpanSet = a != "-";
    m_Options.reportSpan = a;
  } else if (cmd == "exit") {
    m_Options.exitAddr = a == "-" ? std::string() : a;
  } else if (cmd == "version") {
    m_Options.version = a == "-" ? std::string() : a;
    m_Options.downloadUrl = b;
  } else {
    ok = false;
  }
  log.push_back("control " + Escape(line) + (ok ? " done" : " unknown"));
  return ok;
}

std::string Server::StateText(uint16_t mainPort, uint16_t assistPort) const {
  std::string s;
  s += "main_port " + std::to_string(mainPort) + "\n";
  s += "assist_port " + std::to_string(assistPort) + "\n";
  s += "counters logins=" + std::to_string(m_Logins) + " reports=" + std::to_string(m_Reports) +
       " offlines=" + std::to_string(m_Offlines) + " ignored=" + std::to_string(m_Ignored) + "\n";
  for (const auto& entry : m_Clients) {
    const Client& c = entry.second;
    s += "client " + Escape(c.id) + " user=" + Escape(c.user) + " login_from=" + c.loginAddr +
         " exit=" + Escape(c.exitAddr) + " report_from=" + c.reportAddr +
         " last_login_ms=" + std::to_string(c.lastLoginMs) +
         " last_report_ms=" + std::to_string(c.lastReportMs) +
         " reports=" + std::to_string(c.reports) + " inner_hex=" + Hex(c.lastInner) + "\n";
  }
  for (const auto& entry : m_Domains) {
    const Domain& d = entry.second;
    s += "domain " + Escape(d.name) + " client=" + Escape(d.clientId) +
         " state=" + (d.online ? "online" : "offline") + " address=" + Escape(d.address) +
         " offline_target=" + Escape(d.offlineTarget) +
         " last_report_ms=" + std::to_string(d.lastReportMs) + "\n";
  }
  return s;
}

}  // namespace ddns
