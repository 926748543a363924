// The listeners that walk the frame's client nodes (the status file's Sync,
// the service manager's Seed) against a node that ends on its own while it
// is walked over: its end is told between the walk's read of the node and
// the listener's own lock, and the listener must not take it back.
#include "app/account/news.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "app/account/accountview.h"
#include "app/ops/statusfile.h"
#include "app/ops/svcmanager.h"
#include "app/proto/scramble.h"
#include "frame/zepframe.h"
#include "support/files.h"
#include "support/notifylistener.h"
#include "support/scriptedserver.h"
#include "support/tempdir.h"
#include "support/waitfor.h"

namespace {

ZEPFrame* g_pGapFrame = nullptr;

// The walk's gap: the node is told to quit and has ended (its news told)
// before the walk goes on. The walk's list keeps it alive.
void EndInTheGap(CDYRClient* client) {
  SmartPtr<CQuitEvent> quit(g_pGapFrame->AllocQuitEvent());
  ASSERT_TRUE(g_pGapFrame->Enqueue(client, quit.Get(), true, false));
  quit.Release();
  client->WaitServiceStop();
  EXPECT_TRUE(client->HasEnded());
}

// What each listener counts after its walk, read where other programs read
// it: the status file's accounts, the READY=1 message's STATUS= line.
int StatusFileCount(ZEPFrame* frame, const std::string& dir) {
  CDYRStatusFile file(dir.c_str(), 0);
  file.Start();
  file.Sync(frame);
  const std::string path = dir + DYR_STATUS_FILE;
  std::string text;
  zeptest::WaitFor([&] { return !(text = zeptest::ReadFile(path)).empty(); });
  file.Stop();
  DYRStatusDoc_tag doc;
  if (DyrReadStatusJson(text.data(), text.size(), doc) != 0) return -1;
  return static_cast<int>(doc.m_Accounts.size());
}

int ServiceManagerCount(ZEPFrame* frame, const std::string& /*dir*/) {
  zeptest::NotifyListener mgr("@dyrnews-test-" + std::to_string(getpid()));
  if (!mgr.Bound()) return -1;
  CDYRServiceManager notify(DyrReadNotifyConf(mgr.Name().c_str(), nullptr, nullptr, getpid()));
  notify.Ready(frame);
  const std::string ready = mgr.Next();
  notify.Finish();
  const std::string lead = "READY=1\nSTATUS=";
  if (ready.compare(0, lead.size(), lead) != 0) return -1;
  return std::atoi(ready.c_str() + lead.size());
}

TEST(ListenerWalk, ANodeThatEndsWhileWalkedOverIsNotTakenBack) {
  const struct {
    const char* name;
    std::function<int(ZEPFrame*, const std::string&)> count;
  } views[] = {{"status file", StatusFileCount}, {"service manager", ServiceManagerCount}};
  InitDes(g_CredentialKey);
  for (const auto& view : views) {
    zeptest::TempDir dir;
    zeptest::FakeServer server;
    ZEPFrame* frame = new ZEPFrame(true, true);
    frame->Service();
    CDYRClient* node = new CDYRClient(frame, 60000);
    node->SetIDFile(dir.path() + "/clientid.txt");
    node->SetHost("127.0.0.1");
    node->SetMainPort(std::to_string(server.main.port()).c_str());
    node->SetAsstPort(std::to_string(server.asst.port()).c_str());
    node->SetUserName("alice");
    node->SetIndex(1);
    ASSERT_EQ(frame->AddNode(node, true), 0);
    g_pGapFrame = frame;
    g_pDyrWalkGap.store(&EndInTheGap);
    EXPECT_EQ(0, view.count(frame, dir.path() + "/")) << view.name;
    g_pDyrWalkGap.store(nullptr);
    frame->ExitFrame();
    frame->WaitServiceStop();
    delete frame;
  }
}

}  // namespace
