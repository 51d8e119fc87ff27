// The handler bases: the forwarder hands on every notification unchanged, the empty ones leave
// the platform's answer alone.
#include <gtest/gtest.h>

#include <type_traits>

#include "notifications.h"
#include "platform/dx8/event_adapters.h"

using namespace dx8;
using orvel::testing::everyNotification;
using orvel::testing::Notification;
using orvel::testing::NotificationMessages;
using orvel::testing::NotificationRow;

namespace {

static_assert(!std::is_abstract_v<DirectPlay8EventAdapter>);
static_assert(!std::is_abstract_v<DirectPlay8EventForwarder>);
static_assert(!std::is_abstract_v<DirectPlay8LobbyEventAdapter>);

TEST(EventAdapters, TheForwarderHandsOnEveryNotificationAndTheAnswerComesBack) {
    NotificationMessages messages;
    orvel::testing::NotificationLog target;
    DirectPlay8EventForwarder forwarder;
    forwarder.setForwardTarget(&target);
    for (const NotificationRow& row : everyNotification(messages)) {
        SCOPED_TRACE(row.expected[0]);
        target.calls.clear();
        bool reject = false;
        row.deliver(forwarder, reject);
        EXPECT_EQ(target.calls, std::vector<Notification>{row.expected});
        EXPECT_TRUE(reject);
    }
}

TEST(EventAdapters, WithoutATargetOrWithTheEmptyBaseNothingHappens) {
    NotificationMessages messages;
    orvel::testing::NotificationLog former;
    DirectPlay8EventForwarder forwarder;
    forwarder.setForwardTarget(&former);
    forwarder.setForwardTarget(nullptr);
    DirectPlay8EventAdapter adapter;
    for (const NotificationRow& row : everyNotification(messages)) {
        for (DirectPlay8Event* handler : {static_cast<DirectPlay8Event*>(&forwarder),
                                          static_cast<DirectPlay8Event*>(&adapter)}) {
            bool reject = false;
            row.deliver(*handler, reject);
            EXPECT_FALSE(reject) << row.expected[0];
        }
    }
    EXPECT_TRUE(former.calls.empty());
}

}  // namespace
