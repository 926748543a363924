#include "app/account/accountview.h"

#include <algorithm>

#include "frame/zepframe.h"

namespace {

std::string Text(const ZEPString& s) { return std::string(s.GetSafeText(), s.GetLength()); }

std::string OrDash(const ZEPString& s) { return s.IsEmpty() ? "-" : Text(s); }

std::string Age(int64_t sinceSec, int64_t nowSec) {
  return sinceSec < 0 ? "-" : std::to_string(static_cast<long long>(nowSec - sinceSec));
}

}  // namespace

std::vector<SmartPtr<CDYRClient>> AccountList(ZEPFrame* frame) {
  std::vector<SmartPtr<CDYRClient>> found;
  CAppNodeCursor cursor(frame);
  for (CAppNode* n = frame->GetFirstNode(cursor); n != nullptr; n = frame->GetNextNode(cursor)) {
    CDYRClient* c = dynamic_cast<CDYRClient*>(n);
    if (c != nullptr && !c->IsQuiting()) found.emplace_back(c);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const SmartPtr<CDYRClient>& a, const SmartPtr<CDYRClient>& b) {
                     return a->GetIndex() < b->GetIndex();
                   });
  return found;
}

std::string AccountStatusLine(int index, const DYRAccount_tag& account, const DYRStatus_tag& status,
                              int64_t nowSec) {
  return "account " + std::to_string(index) + " host=" + OrDash(account.m_strHost) +
         " user=" + OrDash(account.m_strUserName) + " state=" + std::to_string(status.m_nState) +
         " egress=" + OrDash(status.m_strExitIP) + " id=" + OrDash(status.m_strClientID) +
         " login_age=" + Age(status.m_nLoginReplySec, nowSec) +
         " report_age=" + Age(status.m_nReportSec, nowSec);
}
