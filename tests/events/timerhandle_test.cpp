#include "events/timerhandle.h"

#include <gtest/gtest.h>

#include "events/events.h"
#include "events/timerrecord.h"

// A tick is the handle's only when record and arming serial both match: a
// record serves a newer timer once its timer ends, and the serial tells them
// apart.
TEST(TimerHandle, MatchesOnlyTicksOfItsOwnArming) {
  TimeEvent_tag rec, other;
  const ZEPTimerHandle held(&rec, 7);
  struct Case {
    const char* what;
    ZEPTimerHandle handle;
    TimeEvent_tag* tickID;
    uint64_t tickSerial;
    bool matches;
  } cases[] = {
      {"own tick", held, &rec, 7, true},
      {"late tick of the record's earlier timer", held, &rec, 6, false},
      {"tick of a later arming of the record", held, &rec, 8, false},
      {"same serial, other record", held, &other, 7, false},
      {"tick without a record", held, nullptr, 7, false},
      {"empty handle, tick without record or serial", ZEPTimerHandle(), nullptr, 0, false},
      {"empty handle, some tick", ZEPTimerHandle(), &rec, 7, false},
      {"serial 0 is no arming", ZEPTimerHandle(&rec, 0), &rec, 0, false},
  };
  for (const Case& c : cases) {
    CTimerEvent tick;
    tick.SetTimerID(c.tickID);
    tick.SetTimerSerial(c.tickSerial);
    EXPECT_EQ(c.matches, c.handle.Matches(&tick)) << c.what;
  }
  EXPECT_FALSE(held.Matches(nullptr));
}

// Half an arming is none: both parts are dropped, so such handles compare
// equal to the empty one and IsSet says no.
TEST(TimerHandle, HalfGivenArmingsAreEmptyAndClearEmpties) {
  TimeEvent_tag rec;
  ZEPTimerHandle cleared(&rec, 3);
  cleared.Clear();
  for (const ZEPTimerHandle& h : {ZEPTimerHandle(&rec, 0), ZEPTimerHandle(nullptr, 5), cleared}) {
    EXPECT_FALSE(h.IsSet());
    EXPECT_EQ(ZEPTimerHandle(), h);
  }
}
