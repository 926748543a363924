// accountview.h — the accounts as others see them: the running client
// nodes of a frame in file order, and the one status line of an account
// that the console and the status query print.
//
// Any thread. AccountList takes the frame's node-list lock inside its
// cursor walk and holds a reference on each node it returns; the status
// line reads copies only.
#ifndef ZEP_APP_ACCOUNT_ACCOUNTVIEW_H
#define ZEP_APP_ACCOUNT_ACCOUNTVIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/account/clientnode.h"

// The running client nodes in file order, each held while the caller works.
std::vector<SmartPtr<CDYRClient>> AccountList(ZEPFrame* frame);

// One status line of an account: "account N host=H user=U state=S egress=A
// id=K login_age=X report_age=Y", "-" for what is not known yet. `nowSec`
// is the monotonic clock in seconds.
std::string AccountStatusLine(int index, const DYRAccount_tag& account, const DYRStatus_tag& status,
                              int64_t nowSec);

#endif  // ZEP_APP_ACCOUNT_ACCOUNTVIEW_H
