// What the main window says about play across the internet.

#include <gtest/gtest.h>

#include "main_window/internet_text.h"

using orvel::net::Mapping;
using State = orvel::net::PortMapper::State;

TEST(InternetText, TheHostIsToldHowOthersJoin) {
    Mapping mapped;
    mapped.externalAddress = QStringLiteral("40.40.40.10");
    mapped.externalPort = 2302;
    struct Case {
        State state;
        std::optional<Mapping> mapping;
        uint32_t lan;
        QString text;
    } cases[] = {
        {State::Mapped, mapped, 0xC0A80102u,
         "Players on the internet can join you at 40.40.40.10:2302"},
        {State::Failed, std::nullopt, 0xC0A80102u,
         "The router did not open the port: forward UDP port 2302 to 192.168.1.2 for players "
         "on the internet to join you"},
        {State::Failed, std::nullopt, 0,
         "The router did not open the port: forward UDP port 2302 to this computer for players "
         "on the internet to join you"},
        {State::Trying, std::nullopt, 0xC0A80102u, ""},
        {State::Off, std::nullopt, 0xC0A80102u, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(orvel::internetJoinText(c.state, c.mapping, 2302, c.lan), c.text);
    }
}

TEST(InternetText, RosterEntriesShowRoundTripsRelaysAndPlayersWithoutAGame) {
    EXPECT_EQ(orvel::rosterEntryText("Bob", -1, false), QStringLiteral("Bob"));
    EXPECT_EQ(orvel::rosterEntryText("Bob", 12, false), QStringLiteral("Bob (12 ms)"));
    EXPECT_EQ(orvel::rosterEntryText("Bob", 40, true), QStringLiteral("Bob (40 ms, relayed)"));
    EXPECT_EQ(orvel::rosterEntryText("Bob", -1, true), QStringLiteral("Bob (relayed)"));
    EXPECT_EQ(orvel::rosterEntryText("Ann", -1, false, true), QStringLiteral("Ann (no game)"));
    EXPECT_EQ(orvel::rosterEntryText("Ann", 9, true, true),
              QStringLiteral("Ann (no game, 9 ms, relayed)"));
}
