// What the main window says about the session and play across the internet.

#include <gtest/gtest.h>

#include "main_window/internet_text.h"

using orvel::net::Mapping;
using State = orvel::net::PortMapper::State;

Mapping mappedAt(const char* address, uint16_t port = 2303) {
    Mapping m;
    m.externalAddress = QString::fromLatin1(address);
    m.externalPort = port;
    m.internalPort = 2303;
    return m;
}

TEST(InternetText, OutsideAddressesAreToldApart) {
    using Kind = orvel::OutsideAddress;
    const std::pair<const char*, Kind> cases[] = {
        {"40.40.40.10", Kind::Public},   {"10.1.2.3", Kind::Private},
        {"172.15.0.1", Kind::Public},    {"172.16.0.1", Kind::Private},
        {"172.31.255.9", Kind::Private}, {"172.32.0.1", Kind::Public},
        {"192.168.0.5", Kind::Private},  {"100.63.255.255", Kind::Public},
        {"100.64.0.9", Kind::Shared},    {"100.127.1.1", Kind::Shared},
        {"100.128.0.1", Kind::Public},   {"0.0.0.0", Kind::Unspecified},
        {"", Kind::Unspecified},         {"not an address", Kind::Unspecified},
    };
    for (const auto& [address, kind] : cases) {
        EXPECT_EQ(orvel::outsideAddressKind(QString::fromLatin1(address)), kind) << address;
    }
}

// The line for each kind of mapping a host or a joiner can have, naming the port in use.
TEST(InternetText, TheReachabilityLineForEachKindOfMapping) {
    // Every private range gets the same advice, naming the router's outside address.
    const auto privateTo = [](const char* outside) {
        return QStringLiteral(
                   "Behind a second router: your router opened UDP port 2303, but its outside "
                   "address %1 is private. Forward UDP port 2303 on the outer router to %1 too, or "
                   "let another player host.")
            .arg(QLatin1String(outside));
    };
    struct Case {
        bool hosting;
        State state;
        std::optional<Mapping> mapping;
        uint32_t observed;
        QString text;
    } cases[] = {
        {true, State::Mapped, mappedAt("40.40.40.10"), 0,
         "Players on the internet can join you at 40.40.40.10:2303"},
        {true, State::Mapped, mappedAt("40.40.40.10", 2305), 0,
         "Players on the internet can join you at 40.40.40.10:2305 (UDP port 2303 on this "
         "computer)"},
        {true, State::Mapped, mappedAt("192.168.0.5"), 0, privateTo("192.168.0.5")},
        {true, State::Mapped, mappedAt("10.0.0.2"), 0, privateTo("10.0.0.2")},
        {true, State::Mapped, mappedAt("172.20.1.1"), 0, privateTo("172.20.1.1")},
        {true, State::Mapped, mappedAt("100.64.0.9"), 0,
         "Behind your provider's router (carrier-grade NAT): your router opened UDP port 2303, "
         "but its outside address 100.64.0.9 is shared. Ask your provider for a public address, "
         "or let another player host."},
        {true, State::Mapped, mappedAt("0.0.0.0"), 0,
         "Behind a second router: your router opened UDP port 2303 but knows no outside "
         "address. Forward UDP port 2303 on the outer router too, or let another player host."},
        {true, State::Failed, std::nullopt, 0,
         "The router did not open the port: forward UDP port 2303 to 192.168.1.2 for players "
         "on the internet to join you"},
        {true, State::Trying, std::nullopt, 0,
         "Hosting on UDP port 2303; asking the router to open it for players on the "
         "internet..."},
        {true, State::Off, std::nullopt, 0,
         "Hosting on UDP port 2303; players on your network join you at 192.168.1.2:2303."},
        {false, State::Mapped, mappedAt("40.40.40.20"), 0,
         "Your address on the internet: 40.40.40.20:2303 (your router forwards it to UDP port "
         "2303 here)."},
        {false, State::Failed, std::nullopt, 0x28282814u,
         "Your address on the internet: 40.40.40.20:50123, as the host sees you."},
        {false, State::Mapped, mappedAt("100.64.0.9"), 0,
         "Behind your provider's router (carrier-grade NAT): your router opened UDP port 2303, "
         "but its outside address 100.64.0.9 is shared. Players who cannot reach you go through "
         "the host."},
        {false, State::Mapped, mappedAt("192.168.0.5"), 0x28282814u,
         "Your address on the internet: 40.40.40.20:50123, as the host sees you."},
        {false, State::Off, std::nullopt, 0xC0A80107u, ""},  // seen on the LAN: nothing to say
    };
    for (const Case& c : cases) {
        orvel::Reach reach;
        reach.hosting = c.hosting;
        reach.port = 2303;
        reach.lanIpv4 = 0xC0A80102u;
        reach.state = c.state;
        reach.mapping = c.mapping;
        reach.observed = {c.observed, static_cast<uint16_t>(c.observed != 0 ? 50123 : 0)};
        EXPECT_EQ(orvel::reachabilityText(reach), c.text);
        reach.port = 0;  // outside a session there is nothing to say
        EXPECT_EQ(orvel::reachabilityText(reach), QString());
        // A host under a code at the meeting point says the code instead, whatever its router.
        reach.port = 2303;
        reach.code = QStringLiteral("K7QX-M2P9");
        reach.codeUnasked = c.state == State::Mapped;
        EXPECT_EQ(
            orvel::reachabilityText(reach),
            !c.hosting ? c.text
            : reach.codeUnasked
                ? QStringLiteral("Friends can join with code K7QX-M2P9 (they come straight in).")
                : QStringLiteral("Friends can join with code K7QX-M2P9 (the meeting point "
                                 "introduces them)."));
    }
}

TEST(InternetText, TheSessionLineNamesTheSessionAndItsHost) {
    EXPECT_EQ(orvel::sessionText("Evening race", true, {}),
              QStringLiteral("Session \"Evening race\": you are the host."));
    EXPECT_EQ(orvel::sessionText("Evening race", false, "Ann"),
              QStringLiteral("Session \"Evening race\": Ann is the host."));
    EXPECT_EQ(orvel::sessionText("Evening race", false, {}),
              QStringLiteral("Session \"Evening race\"."));
    EXPECT_EQ(orvel::sessionText({}, true, {}), QStringLiteral("You are the host."));
    EXPECT_EQ(orvel::sessionText({}, false, "Ann"), QStringLiteral("Ann is the host."));
    EXPECT_EQ(orvel::sessionText({}, false, {}), QString());
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
