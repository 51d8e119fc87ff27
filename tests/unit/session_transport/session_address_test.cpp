// The address URL: what it accepts, what it refuses, and how it writes itself.

#include <gtest/gtest.h>

#include "platform/dx8/directplay8.h"

using namespace dx8;

namespace {

HRESULT buildError(const QString& url) {
    DirectPlay8Address a;
    try {
        a.BuildFromURL(url);
    } catch (const DxError& e) {
        return e.code();
    }
    return DPN_OK;
}

TEST(AddressUrl, ReadsTheUsualTcpIpAddress) {
    DirectPlay8Address a;
    a.BuildFromURL(QStringLiteral(
        "x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-006097B01411%7D;hostname=10.0.0.2;"
        "port=2302"));
    EXPECT_EQ(a.GetSP(), DP8SP_TCPIP);
    EXPECT_EQ(a.GetComponentString(DPNA_KEY_HOSTNAME), QStringLiteral("10.0.0.2"));
    EXPECT_EQ(a.GetComponentLong(DPNA_KEY_PORT), 2302);
    EXPECT_EQ(a.GetURL(), QStringLiteral("x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-"
                                         "006097B01411%7D;hostname=10.0.0.2;port=2302"));
}

TEST(AddressUrl, DecodesPercentEscapesAndKeysIgnoreCase) {
    DirectPlay8Address a;
    a.BuildFromURL(QStringLiteral("X-DirectPlay:/HostName=my%20host%3Bname;Extra=%C3%A9t%C3%A9"));
    EXPECT_EQ(a.GetComponentString(QStringLiteral("hostname")), QStringLiteral("my host;name"));
    EXPECT_EQ(a.GetComponentString(QStringLiteral("EXTRA")),
              QString::fromUtf8("\xC3\xA9t\xC3\xA9"));
    EXPECT_TRUE(a.GetSP().isEmpty());
    // Written back, every special character is escaped again and the text reads the same.
    DirectPlay8Address b;
    b.BuildFromURL(a.GetURL());
    EXPECT_EQ(b.GetURL(), a.GetURL());
    EXPECT_EQ(b.GetComponentString(DPNA_KEY_HOSTNAME), QStringLiteral("my host;name"));
}

TEST(AddressUrl, RefusesMalformedText) {
    const char* bad[] = {
        "",
        "directplay:/hostname=a",
        "x-directplay:hostname=a",
        "x-directplay:/hostname",
        "x-directplay:/=a",
        "x-directplay:/hostname=a;;port=2302",
        "x-directplay:/hostname=a;",
        "x-directplay:/hostname=%4",
        "x-directplay:/hostname=%G1",
        "x-directplay:/hostname=a b",
        "x-directplay:/hostname=a=b",
        "x-directplay:/hostname=%FF%FE",  // not UTF-8
        "x-directplay:/hostname=a;HOSTNAME=b",
        "x-directplay:/port=abc",
        "x-directplay:/port=0",
        "x-directplay:/port=65536",
        "x-directplay:/port=-1",
    };
    for (const char* url : bad) {
        EXPECT_EQ(buildError(QString::fromUtf8(url)), DPNERR_INVALIDURL) << url;
    }
    EXPECT_EQ(buildError(QStringLiteral("x-directplay:/")), DPN_OK);
}

TEST(AddressUrl, AFailedBuildKeepsTheOldAddress) {
    DirectPlay8Address a;
    a.BuildFromURL(QStringLiteral("x-directplay:/hostname=keep;port=2400"));
    EXPECT_THROW(a.BuildFromURL(QStringLiteral("x-directplay:/hostname=%")), DxError);
    EXPECT_EQ(a.GetComponentString(DPNA_KEY_HOSTNAME), QStringLiteral("keep"));
    EXPECT_EQ(a.GetComponentLong(DPNA_KEY_PORT), 2400);
}

TEST(AddressComponents, AddReadAndClear) {
    DirectPlay8Address a;
    EXPECT_TRUE(a.IsEmpty());
    a.SetSP(DP8SP_TCPIP);
    a.AddComponentLong(DPNA_KEY_PORT, 2305);
    a.AddComponentString(DPNA_KEY_HOSTNAME, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(a.GetURL(), QStringLiteral("x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-"
                                         "006097B01411%7D;hostname=127.0.0.1;port=2305"));
    EXPECT_TRUE(a.HasComponent(QStringLiteral("Port")));
    try {
        a.GetComponentString(QStringLiteral("device"));
        ADD_FAILURE() << "an absent key was read";
    } catch (const DxError& e) {
        EXPECT_EQ(e.code(), DPNERR_DOESNOTEXIST);
    }
    EXPECT_THROW(a.AddComponentLong(DPNA_KEY_PORT, 70000), DxError);
    EXPECT_EQ(a.GetComponentLong(DPNA_KEY_PORT), 2305);
    a.AddComponentString(QStringLiteral("name"), QStringLiteral("x"));
    EXPECT_THROW(a.GetComponentLong(QStringLiteral("name")), DxError);
    a.Clear();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.GetURL(), QStringLiteral("x-directplay:/"));
}

}  // namespace
