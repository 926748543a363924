#include "app/account/accountview.h"

#include <algorithm>

#include "base/zeptext.h"
#include "frame/zepframe.h"
#include "log/zeplogsafe.h"

std::atomic<void (*)(CDYRClient*)> g_pDyrWalkGap{nullptr};

namespace {

// The words of one style, in the order of the line's fields.
struct LineStyle_tag {
  const char* m_pszLead;  // the index follows it when m_bIndex
  bool m_bIndex;
  const char* m_pszLabels[7];  // host, user, state, egress, id, login age, report age
  const char* m_pszUnknownText;
  const char* m_pszAgeUnit;
  unsigned m_nEscaped;  // the fields escaped as in the log (kEscape...)
};

// The fields a style escapes: the server's bytes (egress address, client
// id) never reach a terminal as control characters; the status query's
// fields come from a file, whatever it holds.
const unsigned kEscapeHost = 1, kEscapeUser = 2, kEscapeEgress = 4, kEscapeID = 8;

const LineStyle_tag kLineStyles[] = {
    {"account ",
     true,
     {" host=", " user=", " state=", " egress=", " id=", " login_age=", " report_age="},
     "-",
     "",
     kEscapeEgress | kEscapeID},
    {"Account",
     false,
     {" Host=", " User=", " State=", " Egress=", " ClientID=", " LoginReplyAgo=", " ReportAgo="},
     "",
     "s",
     kEscapeEgress},
    {"account ",
     true,
     {" host=", " user=", " state=", " egress=", " id=", " login_age=", " report_age="},
     "-",
     "",
     kEscapeHost | kEscapeUser | kEscapeEgress | kEscapeID},
};

}  // namespace

std::vector<SmartPtr<CDYRClient>> AccountList(ZEPFrame* frame, int skip, bool fileOrder) {
  std::vector<SmartPtr<CDYRClient>> found;
  if (frame == nullptr) return found;
  CAppNodeCursor cursor(frame);
  for (CAppNode* n = frame->GetFirstNode(cursor); n != nullptr; n = frame->GetNextNode(cursor)) {
    CDYRClient* c = dynamic_cast<CDYRClient*>(n);
    if (c == nullptr || ((skip & kSkipEnded) != 0 && c->HasEnded()) ||
        ((skip & kSkipQuitting) != 0 && c->IsQuiting()))
      continue;
    found.emplace_back(c);
  }
  if (fileOrder) {
    std::stable_sort(found.begin(), found.end(),
                     [](const SmartPtr<CDYRClient>& a, const SmartPtr<CDYRClient>& b) {
                       return a->GetIndex() < b->GetIndex();
                     });
  }
  return found;
}

std::string AccountStatusLine(int index, const DYRAccount_tag& account, const DYRStatus_tag& status,
                              int64_t nowSec, AccountLineStyle style) {
  const LineStyle_tag& s = kLineStyles[static_cast<int>(style)];
  const auto text = [&s](const ZEPString& v, unsigned field) {
    if (v.IsEmpty()) return std::string(s.m_pszUnknownText);
    return ZEPStdString((s.m_nEscaped & field) != 0 ? ZEPLogSafeText(v) : v);
  };
  const auto age = [&s, nowSec](int64_t since) {
    return since < 0 ? std::string("-")
                     : std::to_string(static_cast<long long>(nowSec - since)) + s.m_pszAgeUnit;
  };
  std::string line = s.m_pszLead;
  if (s.m_bIndex) line += std::to_string(index);
  line += s.m_pszLabels[0] + text(account.m_strHost, kEscapeHost);
  line += s.m_pszLabels[1] + text(account.m_strUserName, kEscapeUser);
  line += s.m_pszLabels[2] + std::to_string(status.m_nState);
  line += s.m_pszLabels[3] + text(status.m_strEgress, kEscapeEgress);
  line += s.m_pszLabels[4] + text(status.m_strClientID, kEscapeID);
  line += s.m_pszLabels[5] + age(status.m_nLoginReplySec);
  line += s.m_pszLabels[6] + age(status.m_nReportSec);
  return line;
}
