// The timing rules for bad links: join steps that stretch with the round trip, and telling a
// player cut off from everyone apart from one that lost a single player.
#include <gtest/gtest.h>

#include "net/links/link_timing.h"

using namespace dx8;

TEST(LinkTiming, StepsStretchWithTheRoundTripWithinBounds) {
    struct Case {
        int baseMs;
        int roundTripMs;
        int expectedMs;
    };
    const Case cases[] = {
        {15000, 0, 15000},      // not measured yet
        {15000, 40, 15000},     // a fast link keeps the base
        {15000, 100, 15000},
        {15000, 150, 22500},
        {3000, 300, 9000},
        {12000, 2000, 48000},   // bounded: a runaway measure cannot stall a join for ever
        {5000, 1000000, 20000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(stretchedMs(c.baseMs, c.roundTripMs), c.expectedMs)
            << c.baseMs << " at " << c.roundTripMs;
    }
}

TEST(LinkTiming, CutOffOnlyWhenEveryOtherLinkIsDarkToo) {
    struct Case {
        std::vector<qint64> othersSilentMs;
        bool cutOff;
    };
    const Case cases[] = {
        {{}, false},                  // nobody else to compare with
        {{40}, false},                // one player lost; the other still talks
        {{7400, 7600}, true},         // dark together
        {{7400, 30, 7600}, false},    // one link still alive: that player and we are fine
        {{kDarkLinkMs}, true},
        {{kDarkLinkMs - 1, 9000}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cutOffFromAll(c.othersSilentMs), c.cutOff) << c.othersSilentMs.size();
    }
}
