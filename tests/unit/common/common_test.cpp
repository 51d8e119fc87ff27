#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <map>

#include "common/orvel_globals.h"
#include "common/packet.h"
#include "common/same_secret.h"
#include "common/settings_store.h"

namespace orvel {
namespace {

TEST(KeyToChar, EveryCodeFromZeroTo58) {
    // The whole table, written out independently of the implementation's construction.
    std::map<int, std::pair<QString, QString>> expected = {
        {0x02, {"1", "!"}}, {0x03, {"2", "@"}}, {0x04, {"3", "#"}}, {0x05, {"4", "$"}},
        {0x06, {"5", "%"}}, {0x07, {"6", "^"}}, {0x08, {"7", "&"}}, {0x09, {"8", "*"}},
        {0x0A, {"9", "("}}, {0x0B, {"0", ")"}}, {0x0C, {"-", "_"}}, {0x0D, {"=", "+"}},
        {0x10, {"Q", "Q"}}, {0x11, {"W", "W"}}, {0x12, {"E", "E"}}, {0x13, {"R", "R"}},
        {0x14, {"T", "T"}}, {0x15, {"Y", "Y"}}, {0x16, {"U", "U"}}, {0x17, {"I", "I"}},
        {0x18, {"O", "O"}}, {0x19, {"P", "P"}}, {0x1A, {"[", "["}}, {0x1B, {"]", "]"}},
        {0x1E, {"A", "A"}}, {0x1F, {"S", "S"}}, {0x20, {"D", "D"}}, {0x21, {"F", "F"}},
        {0x22, {"G", "G"}}, {0x23, {"H", "H"}}, {0x24, {"J", "J"}}, {0x25, {"K", "K"}},
        {0x26, {"L", "L"}}, {0x27, {";", ":"}}, {0x28, {"'", "\""}}, {0x29, {"`", "~"}},
        {0x2B, {"\\", "|"}}, {0x2C, {"Z", "Z"}}, {0x2D, {"X", "X"}}, {0x2E, {"C", "C"}},
        {0x2F, {"V", "V"}}, {0x30, {"B", "B"}}, {0x31, {"N", "N"}}, {0x32, {"M", "M"}},
        {0x33, {",", "<"}}, {0x34, {".", ">"}}, {0x35, {"/", "?"}}, {0x37, {"*", "*"}},
        {0x39, {" ", " "}},
    };
    for (int code = 0; code <= 58; ++code) {
        const auto it = expected.find(code);
        const QString plain = it == expected.end() ? QString() : it->second.first;
        const QString shifted = it == expected.end() ? QString() : it->second.second;
        EXPECT_EQ(KeyToChar(static_cast<int16_t>(code), false), plain) << "code " << code;
        EXPECT_EQ(KeyToChar(static_cast<int16_t>(code), true), shifted) << "code " << code;
    }
    EXPECT_EQ(KeyToChar(59, false), QString());
    EXPECT_EQ(KeyToChar(-1, true), QString());
}

TEST(SlotPlayerIds, FiveEntriesStartFree) {
    SlotPlayerIds table;
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(table(n), 0u);
    }
    table(5) = 77;
    EXPECT_EQ(table(5), 77u);
    table.clear();
    EXPECT_EQ(table(5), 0u);
    EXPECT_DEATH(table(0), "");
    EXPECT_DEATH(table(6), "");
}

// Qt reads the config folder once per process, so all settings tests share one folder and
// start from an empty store.
class SettingsStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new QTemporaryDir;
        setenv("XDG_CONFIG_HOME", dir_->path().toLocal8Bit().constData(), 1);
    }
    static void TearDownTestSuite() { delete dir_; }
    void SetUp() override {
        ASSERT_TRUE(dir_->isValid());
        QFile::remove(dir_->filePath("Orvel/VBDirectPlay.ini"));
    }
    static inline QTemporaryDir* dir_ = nullptr;
};

TEST_F(SettingsStoreTest, TextValuesRoundTripUnderApplicationAndSection) {
    EXPECT_EQ(GetDefault("UserName"), QString());
    EXPECT_EQ(GetDefault("SPListIndex", "-1"), QStringLiteral("-1"));
    SaveDefault("UserName", QStringLiteral("Smith, John = \"quoted\" ; ünï"));
    SaveDefault("GameVersion", QStringLiteral("1"));
    EXPECT_EQ(GetDefault("UserName"), QStringLiteral("Smith, John = \"quoted\" ; ünï"));
    EXPECT_EQ(GetSetting("VBDirectPlay", "Defaults", "GameVersion"), QStringLiteral("1"));
    EXPECT_EQ(GetSetting("VBDirectPlay", "Other", "GameVersion", "none"), QStringLiteral("none"));

    // The store is an INI file in the user's config folder, section [Defaults].
    QFile file(dir_->filePath("Orvel/VBDirectPlay.ini"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray ini = file.readAll();
    EXPECT_TRUE(ini.contains("[Defaults]"));
    EXPECT_TRUE(ini.contains("GameVersion=1"));
}

TEST_F(SettingsStoreTest, HandEditedValuesWithCommasStayOneText) {
    QDir().mkpath(dir_->filePath("Orvel"));
    QFile file(dir_->filePath("Orvel/VBDirectPlay.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Defaults]\nUserName=a,b\nGameName=\n");
    file.close();
    EXPECT_EQ(GetDefault("UserName"), QStringLiteral("a,b"));
    EXPECT_EQ(GetDefault("GameName", "absent"), QString());
}

TEST(LeadingNumber, ReadsTheNumberAtTheStart) {
    EXPECT_EQ(LeadingNumber("6"), 6.0);
    EXPECT_EQ(LeadingNumber(" 7 "), 7.0);
    EXPECT_EQ(LeadingNumber("4 players"), 4.0);
    EXPECT_EQ(LeadingNumber("4.5"), 4.5);
    EXPECT_EQ(LeadingNumber("-1"), -1.0);
    EXPECT_EQ(LeadingNumber(""), 0.0);
    EXPECT_EQ(LeadingNumber("abc"), 0.0);
    EXPECT_EQ(LeadingNumber("x4"), 0.0);
    EXPECT_EQ(LeadingNumber("99999999999999"), 2147483647.0);
}

// Every secret is compared by one function: one byte off anywhere, or one byte more or less,
// and the two differ.
TEST(SameSecret, OneByteOffAnywhereDiffers) {
    for (const int size : {1, 8, 16, 32, 64}) {
        QByteArray right(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) {
            right[i] = static_cast<char>(i * 37 + 11);
        }
        EXPECT_TRUE(sameSecret(right, QByteArray(right.constData(), size))) << size;
        EXPECT_FALSE(sameSecret(right, right.chopped(1))) << size;
        EXPECT_FALSE(sameSecret(right, right + right.back())) << size;
        for (int i = 0; i < size; ++i) {
            for (const char bit : {'\x01', '\x80'}) {
                QByteArray near = right;
                near[i] = static_cast<char>(near[i] ^ bit);
                EXPECT_FALSE(sameSecret(right, near)) << size << " bytes, byte " << i;
            }
        }
    }
    constexpr uint64_t kValue = 0x0123456789ABCDEFu;
    EXPECT_TRUE(sameSecret(kValue, kValue));
    std::array<uint8_t, 16> secret{1, 2, 3}, other = secret;
    EXPECT_TRUE(sameSecret(secret, other));
    for (unsigned byte = 0; byte < 8; ++byte) {
        EXPECT_FALSE(sameSecret(kValue, kValue ^ (uint64_t{0x80} << (8 * byte)))) << byte;
        other = secret;
        other[byte * 2 + 1] ^= 1;
        EXPECT_FALSE(sameSecret(secret, other)) << byte;
    }
}

// The one reader behind every wire format fails closed on near misses: a field one byte short,
// a count one over its bound, bad UTF-8; and what the writer cuts ends on a character boundary.
TEST(Packet, ReadsBackWhatItWroteAndFailsClosedOnNearMisses) {
    packet::Writer w;
    w.u8(1);
    w.u16(0x0203);
    w.u32(0x04050607);
    w.text(QString::fromUtf8("h\xC3\xA9"), 2, 2);  // "hé" cut to 2 bytes: only "h"
    EXPECT_EQ(w.bytes(), QByteArray::fromHex("01030207060504010068"));
    packet::Reader r(w.bytes());
    EXPECT_EQ(r.u8(), 1);
    EXPECT_EQ(r.u16(), 0x0203);
    EXPECT_EQ(r.u32(), 0x04050607u);
    EXPECT_EQ(r.text(2, 1), QStringLiteral("h"));
    EXPECT_TRUE(r.atEnd());

    struct Case {
        const char* name;
        QByteArray bytes;
        size_t max;
        size_t keep;
        bool ok;
        QString text;
    };
    const size_t all = SIZE_MAX;
    const Case cases[] = {
        {"whole", QByteArray::fromHex("0368c3a9"), 3, all, true, QString::fromUtf8("h\xC3\xA9")},
        {"one byte short", QByteArray::fromHex("0368c3"), 3, all, false, {}},
        {"count one over its bound", QByteArray::fromHex("0368c3a9"), 2, all, false, {}},
        {"not UTF-8", QByteArray::fromHex("0268c3"), 3, all, false, {}},
        {"kept part cut back to a character", QByteArray::fromHex("0368c3a9"), 3, 2, true,
         QStringLiteral("h")},
        {"no count at all", QByteArray(), 3, all, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        packet::Reader t(c.bytes);
        const QString got = t.text(1, c.max, c.keep);
        EXPECT_EQ(t.ok(), c.ok);
        EXPECT_EQ(got, c.text);
        t.u8();  // past the end, or after a failure: nothing more
        EXPECT_FALSE(t.ok());
    }
}

}  // namespace
}  // namespace orvel
