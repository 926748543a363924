#include "app/ops/statusfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/account/accountview.h"
#include "app/config/workdir.h"
#include "app/proto/protocol.h"
#include "app/proto/texts.h"
#include "base/lockguard.h"
#include "base/zepjson.h"
#include "base/zepsmallfile.h"
#include "base/zeptext.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"

namespace {

uint32_t Len(const std::string& s) { return static_cast<uint32_t>(s.size()); }

void AppendTextOrNull(std::string& out, const std::string& text) {
  if (text.empty()) {
    out += "null";
  } else {
    DyrJsonAppendString(out, text);
  }
}

void AppendTimeOrNull(std::string& out, int64_t sec) {
  out += sec < 0 ? std::string("null") : std::to_string(static_cast<long long>(sec));
}

// A wall-clock time for a monotonic one (-1 stays -1).
int64_t WallOf(int64_t monoSec) {
  if (monoSec < 0) return -1;
  return static_cast<int64_t>(std::time(nullptr)) - (ZEPMonoSec() - monoSec);
}

bool ReadText(const DYRJsonValue* v, std::string& out) {
  if (v == nullptr || v->m_eType == DYRJsonValue::kNull) {
    out.clear();
    return true;
  }
  if (v->m_eType != DYRJsonValue::kString) return false;
  out = v->m_strText;
  return true;
}

bool ReadTime(const DYRJsonValue* v, int64_t& out) {
  out = -1;
  if (v == nullptr || v->m_eType == DYRJsonValue::kNull) return true;
  return v->GetInt(out) && out >= 0;
}

bool ReadInt(const DYRJsonValue* v, int64_t& out) { return v != nullptr && v->GetInt(out); }

}  // namespace

std::string DyrStatusJson(const DYRStatusDoc_tag& doc) {
  std::string out = "{\"pid\":" + std::to_string(doc.m_nPid) + ",\"version\":";
  DyrJsonAppendString(out, doc.m_strVersion);
  out += ",\"started\":" + std::to_string(static_cast<long long>(doc.m_nStarted));
  out += ",\"accounts\":[";
  for (size_t i = 0; i < doc.m_Accounts.size(); ++i) {
    const DYRStatusAccount_tag& a = doc.m_Accounts[i];
    if (i > 0) out += ',';
    out += "{\"account\":" + std::to_string(a.m_nAccount) + ",\"host\":";
    DyrJsonAppendString(out, a.m_strHost);
    out += ",\"user\":";
    DyrJsonAppendString(out, a.m_strUser);
    out += ",\"state\":" + std::to_string(a.m_nState) + ",\"egress\":";
    AppendTextOrNull(out, a.m_strEgress);
    out += ",\"client_id\":";
    AppendTextOrNull(out, a.m_strClientID);
    out += ",\"last_login\":";
    AppendTimeOrNull(out, a.m_nLastLogin);
    out += ",\"last_report\":";
    AppendTimeOrNull(out, a.m_nLastReport);
    out += '}';
  }
  out += "]}";
  return out;
}

int DyrReadStatusJson(const char* data, size_t len, DYRStatusDoc_tag& doc) {
  doc = DYRStatusDoc_tag();
  DYRJsonValue root;
  if (DyrJsonParse(data, len, root) != 0 || root.m_eType != DYRJsonValue::kObject) return -1;
  int64_t pid = 0, started = 0;
  const DYRJsonValue* accounts = root.Get("accounts");
  if (!ReadInt(root.Get("pid"), pid) || !ReadInt(root.Get("started"), started) ||
      !ReadText(root.Get("version"), doc.m_strVersion) || accounts == nullptr ||
      accounts->m_eType != DYRJsonValue::kArray)
    return -1;
  doc.m_nPid = static_cast<long>(pid);
  doc.m_nStarted = started;
  for (const DYRJsonValue& item : accounts->m_Items) {
    DYRStatusAccount_tag a;
    int64_t number = 0, state = 0;
    if (!ReadInt(item.Get("account"), number) || !ReadInt(item.Get("state"), state) ||
        !ReadText(item.Get("host"), a.m_strHost) || !ReadText(item.Get("user"), a.m_strUser) ||
        !ReadText(item.Get("egress"), a.m_strEgress) ||
        !ReadText(item.Get("client_id"), a.m_strClientID) ||
        !ReadTime(item.Get("last_login"), a.m_nLastLogin) ||
        !ReadTime(item.Get("last_report"), a.m_nLastReport) || number < 0 || number > 1000000 ||
        state < -1000000 || state > 1000000) {
      doc = DYRStatusDoc_tag();
      return -1;
    }
    a.m_nAccount = static_cast<int>(number);
    a.m_nState = static_cast<int>(state);
    doc.m_Accounts.push_back(a);
  }
  return 0;
}

int DyrStatusCommand(const char* dir, FILE* out, FILE* err) {
  const char* shown = dir[0] != '\0' ? dir : "./";
  long holder = 0;
  ZEPString why;
  const int held = ProbeWorkDirLock(dir, holder, why);
  if (held < 0) {
    std::fprintf(err, "dyrclient: %s\n", why.GetSafeText());
    return -1;
  }
  if (held == 0) {
    std::fprintf(err, "dyrclient: no daemon runs in %s\n", shown);
    return -1;
  }
  const std::string path = std::string(shown) + DYR_STATUS_FILE;
  std::string text;
  DYRStatusDoc_tag doc;
  // The daemon writes a file and never a link; a FIFO or a device put in
  // its place must not hold the check (a status file is a few hundred bytes).
  const int loaded = ZEPLoadSmallFile(path.c_str(), false, 1 << 20, text);
  if (loaded != 0) {
    std::fprintf(err, "dyrclient: a daemon runs in %s, but %s cannot be read: %s\n", shown,
                 path.c_str(), loaded == -2 ? ZEP_NOT_REGULAR : std::strerror(errno));
    return 1;
  }
  if (DyrReadStatusJson(text.data(), text.size(), doc) != 0) {
    std::fprintf(err, "dyrclient: %s is not a status file\n", path.c_str());
    return 1;
  }
  // A daemon that ended without its orderly stop leaves its file behind;
  // the one that runs now may not have written its own yet.
  if (holder > 0 && doc.m_nPid != holder) {
    std::fprintf(err, "dyrclient: %s was written by process %ld, not by the daemon (%ld)\n",
                 path.c_str(), doc.m_nPid, holder);
    return 1;
  }
  int rc = 0;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (const DYRStatusAccount_tag& a : doc.m_Accounts) {
    DYRAccount_tag account;
    account.m_strHost = ZEPString::FromBytes(a.m_strHost.data(), Len(a.m_strHost));
    account.m_strUserName = ZEPString::FromBytes(a.m_strUser.data(), Len(a.m_strUser));
    DYRStatus_tag st;
    st.m_nState = a.m_nState;
    st.m_strEgress = ZEPString::FromBytes(a.m_strEgress.data(), Len(a.m_strEgress));
    st.m_strClientID = ZEPString::FromBytes(a.m_strClientID.data(), Len(a.m_strClientID));
    st.m_nLoginReplySec = a.m_nLastLogin;
    st.m_nReportSec = a.m_nLastReport;
    const std::string line =
        AccountStatusLine(a.m_nAccount, account, st, now, kAccountLineStatusQuery);
    std::fprintf(out, "%s\n", line.c_str());
    if (a.m_nState != CDYRClient::kWatching && a.m_nState != CDYRClient::kReporting) rc = 1;
  }
  std::fflush(out);
  return rc;
}

CDYRStatusFile::CDYRStatusFile(const char* dir, long gapMs)
    : m_strPath(std::string(dir) + DYR_STATUS_FILE),
      m_strTmpPath(m_strPath + ZEP_TMP_SUFFIX),
      m_nGapMs(gapMs),
      m_nPid(static_cast<long>(getpid())),
      m_nStarted(static_cast<int64_t>(std::time(nullptr))) {}

CDYRStatusFile::~CDYRStatusFile() { Stop(); }

void CDYRStatusFile::Start() {
  if (m_bStarted) return;
  m_bStarted = true;
  DyrListen(this);
  // The first write goes at once, each later one at least a gap after the one before.
  m_Writer.SetMinGapMs(m_nGapMs);
  if (m_Writer.Start([this](ZEPServiceTurn&) { WriteNow(); }) != 0)
    ZEP_LOG_LINE(LOG_WARN, "No thread for " << m_strPath.c_str() << ": it is not written.");
}

void CDYRStatusFile::Stop() {
  if (!m_bStarted) return;
  m_bStarted = false;
  DyrUnlisten(this);
  m_Writer.Stop();
  unlink(m_strTmpPath.c_str());
  unlink(m_strPath.c_str());
}

CDYRStatusFile::Entry_tag& CDYRStatusFile::EntryLocked(uint32_t node) {
  for (Entry_tag& e : m_Entries) {
    if (e.m_nNode == node) return e;
  }
  m_Entries.emplace_back();
  m_Entries.back().m_nNode = node;
  return m_Entries.back();
}

void CDYRStatusFile::Take(Entry_tag& e, const DYRStatus_tag& st) {
  e.m_Account.m_nState = st.m_nState;
  e.m_Account.m_strEgress = ZEPStdString(st.m_strEgress);
  e.m_Account.m_strClientID = ZEPStdString(st.m_strClientID);
  // Converted once per event, so the file does not wobble by a second.
  if (st.m_nLoginReplySec != e.m_nLoginMono) {
    e.m_nLoginMono = st.m_nLoginReplySec;
    e.m_Account.m_nLastLogin = WallOf(st.m_nLoginReplySec);
  }
  if (st.m_nReportSec != e.m_nReportMono) {
    e.m_nReportMono = st.m_nReportSec;
    e.m_Account.m_nLastReport = WallOf(st.m_nReportSec);
  }
}

void CDYRStatusFile::OnNews(const DYRNews_tag& news) {
  const uint32_t node = news.m_nNode;
  // Copied before the lock.
  const std::string host = ZEPStdString(news.m_strHost);
  const std::string user = ZEPStdString(news.m_strUser);
  ZEPLockGuard lock(m_Lock);
  if (news.m_nKind == DYRNews_tag::kEnded) {
    m_Entries.erase(std::remove_if(m_Entries.begin(), m_Entries.end(),
                                   [node](const Entry_tag& e) { return e.m_nNode == node; }),
                    m_Entries.end());
  } else {
    Entry_tag& e = EntryLocked(node);
    e.m_Account.m_nAccount = news.m_nAccount;
    e.m_Account.m_strHost = host;
    e.m_Account.m_strUser = user;
    Take(e, news.m_Status);
  }
  // Nothing is written before Sync: a list without the accounts starting.
  if (m_bSynced) m_Writer.Post();
}

void CDYRStatusFile::Sync(ZEPFrame* frame) {
  struct Seen_tag {
    CDYRClient* m_pClient;
    int m_nIndex;
    std::string m_strHost, m_strUser;
    DYRStatus_tag m_Status;
  };
  // Declared before the lock, the nodes stay alive until their end is
  // checked, and the last reference goes after the lock is left.
  const std::vector<SmartPtr<CDYRClient>> nodes = AccountList(frame, kSkipEnded, false);
  std::vector<Seen_tag> seen;
  for (const SmartPtr<CDYRClient>& c : nodes) {
    seen.push_back(Seen_tag{c.Get(), c->GetIndex(), ZEPStdString(c->GetAccount().m_strHost),
                            ZEPStdString(c->GetAccount().m_strUserName), c->GetStatus()});
    DyrWalkGap(c.Get());
  }
  ZEPLockGuard lock(m_Lock);
  for (const Seen_tag& s : seen) {
    // Ended since the read: its news has removed it, and it stays removed.
    if (s.m_pClient->HasEnded()) continue;
    const uint32_t node = s.m_pClient->GetAppID();
    bool known = false;
    for (Entry_tag& e : m_Entries) {
      if (e.m_nNode != node) continue;
      known = true;
      e.m_Account.m_nAccount = s.m_nIndex;
    }
    // A node that published before we listened; news told since is newer.
    if (!known) {
      Entry_tag& e = EntryLocked(node);
      e.m_Account.m_nAccount = s.m_nIndex;
      e.m_Account.m_strHost = s.m_strHost;
      e.m_Account.m_strUser = s.m_strUser;
      Take(e, s.m_Status);
    }
  }
  m_bSynced = true;
  m_Writer.Post();
}

void CDYRStatusFile::WriteNow() {
  DYRStatusDoc_tag doc;
  {
    ZEPLockGuard lock(m_Lock);
    std::vector<Entry_tag> entries = m_Entries;
    std::stable_sort(entries.begin(), entries.end(), [](const Entry_tag& a, const Entry_tag& b) {
      return a.m_Account.m_nAccount < b.m_Account.m_nAccount;
    });
    for (const Entry_tag& e : entries) doc.m_Accounts.push_back(e.m_Account);
  }
  doc.m_nPid = m_nPid;
  doc.m_strVersion = DYR_VERSION_TEXT;
  doc.m_nStarted = m_nStarted;
  Write(doc);
}

void CDYRStatusFile::Write(const DYRStatusDoc_tag& doc) {
  const std::string text = DyrStatusJson(doc) + "\n";
  int err = 0;
  if (ZEPSavePrivateFile(m_strPath.c_str(), text.data(), text.size()) != 0) err = errno;
  // Tried again a gap later, news or not.
  if (err != 0) m_Writer.Post();
  if (err != 0 && !m_bFailing) {
    ZEP_LOG_LINE(LOG_WARN, "Cannot write " << m_strPath.c_str() << ": " << std::strerror(err)
                                           << "; trying again every second.");
  } else if (err == 0 && m_bFailing) {
    ZEP_LOG_LINE(LOG_INFO, m_strPath.c_str() << " is written again.");
  }
  m_bFailing = err != 0;
}
