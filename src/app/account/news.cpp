#include "app/account/news.h"

#include <algorithm>
#include <vector>

#include "base/lockguard.h"

namespace {
Mutex g_ListenerLock;
std::vector<CDYRListener*> g_Listeners GUARDED_BY(g_ListenerLock);
}  // namespace

void DyrListen(CDYRListener* listener) {
  if (listener == nullptr) return;
  ZEPLockGuard lock(g_ListenerLock);
  if (std::find(g_Listeners.begin(), g_Listeners.end(), listener) == g_Listeners.end())
    g_Listeners.push_back(listener);
}

void DyrUnlisten(CDYRListener* listener) {
  ZEPLockGuard lock(g_ListenerLock);
  g_Listeners.erase(std::remove(g_Listeners.begin(), g_Listeners.end(), listener),
                    g_Listeners.end());
}

void DyrTell(const DYRNews_tag& news) {
  ZEPLockGuard lock(g_ListenerLock);
  for (CDYRListener* l : g_Listeners) l->OnNews(news);
}
