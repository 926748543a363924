#include "frame/tickerlanes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct AddSpec {
  uint32_t intervalMs;
  int64_t dueUs;
  int rec;             // index into the case's records
  bool stale = false;  // the record is re-armed after the add: this entry is stale
};

struct TakeCase {
  const char* name;
  std::vector<AddSpec> adds;
  int64_t nowUs;
  std::vector<int> taken;  // records handed out, in this order
  int64_t nextUs;          // NextDueUs afterwards
};

TEST(TickerLanes, TakeDueHandsOutLiveDueEntriesEarliestFirst) {
  const TakeCase cases[] = {
      {"one lane takes its due front",
       {{1000, 100, 0}, {1000, 200, 1}, {1000, 300, 2}},
       250,
       {0, 1},
       300},
      {"lanes merge by due time",
       {{10, 105, 0}, {20, 101, 1}, {10, 110, 2}, {5, 103, 3}, {20, 120, 4}},
       115,
       {1, 3, 0, 2},
       120},
      {"due exactly now is due", {{1, 100, 0}, {1, 100, 1}}, 100, {0, 1}, INT64_MAX},
      {"nothing due yet", {{1000, 500, 0}}, 499, {}, 500},
      {"stale entries are dropped, not handed out",
       {{10, 100, 0, true}, {10, 101, 1}, {20, 102, 2, true}},
       200,
       {1},
       INT64_MAX},
      {"a stale front still counts for the next wake",
       {{10, 100, 0, true}, {10, 300, 1}},
       50,
       {},
       100},
      {"an entry added out of order keeps its lane sorted",
       {{10, 300, 0}, {10, 100, 1}, {10, 200, 2}},
       250,
       {1, 2},
       300},
  };
  for (const TakeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TimeEvent_tag recs[8];
    ZEPTickerLanes lanes;
    size_t later = 0;
    for (const AddSpec& a : c.adds) {
      TimeEvent_tag& r = recs[a.rec];
      const uint64_t serial = r.GetSerial() != 0 ? r.GetSerial() : r.Arm();
      lanes.Add(a.intervalMs, a.dueUs, &r, serial);
      if (a.stale) r.Arm();
      if (a.dueUs > c.nowUs) ++later;
    }
    std::vector<ZEPTickerLanes::Due> out;
    lanes.TakeDue(c.nowUs, &out);
    std::vector<int> got;
    for (const ZEPTickerLanes::Due& d : out) {
      got.push_back(static_cast<int>(d.m_pRec - recs));
      EXPECT_EQ(d.m_pRec->GetSerial(), d.m_nSerial);
      EXPECT_LE(d.m_nDueUs, c.nowUs);
    }
    EXPECT_EQ(c.taken, got);
    EXPECT_EQ(c.nextUs, lanes.NextDueUs());
    EXPECT_EQ(later, lanes.size());
  }
}

// Stale entries dropped at once leave the live ones in order, and lanes that
// only held stale entries go.
TEST(TickerLanes, DropStaleKeepsTheLiveEntriesInOrder) {
  std::vector<TimeEvent_tag> recs(300);
  ZEPTickerLanes lanes;
  for (int i = 0; i < 300; ++i) {
    // Lane 7 holds only timers that end; lanes 1 and 2 keep their odd ones.
    const uint32_t lane = i % 3 == 0 ? 7 : static_cast<uint32_t>(i % 3);
    lanes.Add(lane, 1000 + i, &recs[i], recs[i].Arm());
  }
  for (int i = 0; i < 300; ++i) {
    if (i % 3 == 0 || i % 2 == 0) recs[i].Disarm();
  }
  EXPECT_EQ(3u, lanes.LaneCount());
  lanes.DropStale();
  EXPECT_EQ(100u, lanes.size());
  EXPECT_EQ(2u, lanes.LaneCount());
  std::vector<ZEPTickerLanes::Due> out;
  lanes.TakeDue(INT64_MAX - 1, &out);
  ASSERT_EQ(100u, out.size());
  for (size_t i = 1; i < out.size(); ++i) EXPECT_LT(out[i - 1].m_nDueUs, out[i].m_nDueUs);
  EXPECT_EQ(0u, lanes.size());
  EXPECT_EQ(INT64_MAX, lanes.NextDueUs());
}

// A program that keeps inventing periods (each timer ending before the next
// begins) does not pile up empty lanes.
TEST(TickerLanes, EmptyLanesDoNotPileUp) {
  TimeEvent_tag rec;
  ZEPTickerLanes lanes;
  std::vector<ZEPTickerLanes::Due> out;
  for (uint32_t period = 1; period <= 1000; ++period) {
    lanes.Add(period, period, &rec, rec.Arm());
    out.clear();
    lanes.TakeDue(period, &out);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(period, out[0].m_nInterval);
  }
  EXPECT_LT(lanes.LaneCount(), 40u);
  EXPECT_EQ(0u, lanes.size());
}

}  // namespace
