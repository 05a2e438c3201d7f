// The event rules every platform shares: the mask's release of waits, the
// received-character edge and modem-line changes turned into events.
#include <gtest/gtest.h>

#include <cstdint>

#include "serial/PortEvents.h"
#include "serial/SerialPlatform.h"

namespace {

TEST(PortEventMask, ChangeReleasesAWaitAndAClearReleasesTheNextWaitOnce) {
  PortEventMask mask;
  // A fresh port's clear mask has released no one: a wait blocks.
  EXPECT_FALSE(mask.ClearedSinceLastWait());

  mask.Set(kEV_RXCHAR);
  EXPECT_FALSE(mask.ClearedSinceLastWait());
  PortEventMask::Ticket ticket = mask.Begin();
  EXPECT_FALSE(mask.Released(ticket));
  mask.Set(kEV_RXCHAR | kEV_CTS);  // any change releases, not only a clear
  EXPECT_TRUE(mask.Released(ticket));
  mask.WaitEnded();

  // A clear before the wait begins releases it at once, and only that one.
  mask.Set(0);
  EXPECT_TRUE(mask.ClearedSinceLastWait());
  EXPECT_FALSE(mask.ClearedSinceLastWait());
  ticket = mask.Begin();
  EXPECT_FALSE(mask.Released(ticket));
  mask.ReleaseWaits();  // the close
  EXPECT_TRUE(mask.Released(ticket));
  EXPECT_EQ(mask.Mask(), 0U);
}

TEST(ReceivedEdge, ReportsOnlyWhenTheTotalHasGrown) {
  ReceivedEdge edge;
  EXPECT_FALSE(edge.Report(0));
  EXPECT_TRUE(edge.Report(3));
  EXPECT_FALSE(edge.Report(3));  // bytes left unread are not reported again
  EXPECT_TRUE(edge.Report(4));
  edge.Seen(6);  // taken by the owner itself
  EXPECT_FALSE(edge.Report(6));
  EXPECT_TRUE(edge.Report(7));
}

TEST(ModemChangeEvents, ChangedLinesAndTheRingsRisingEdge) {
  struct Case {
    std::uint32_t before, now, events;
  };
  const Case cases[] = {
      {0, 0, 0},
      {0, kMS_CTS_ON, kEV_CTS},
      {kMS_CTS_ON, 0, kEV_CTS},
      {kMS_DSR_ON, kMS_RLSD_ON, kEV_DSR | kEV_RLSD},
      {0, kMS_RING_ON, kEV_RING},
      {kMS_RING_ON, 0, 0},  // the ring going off is no event
      {kMS_CTS_ON | kMS_DSR_ON | kMS_RLSD_ON, kMS_CTS_ON | kMS_DSR_ON | kMS_RLSD_ON, 0},
      {0, kMS_CTS_ON | kMS_DSR_ON | kMS_RING_ON | kMS_RLSD_ON,
       kEV_CTS | kEV_DSR | kEV_RING | kEV_RLSD},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ModemChangeEvents(c.before, c.now), c.events) << c.before << " -> " << c.now;
  }
}

}  // namespace
