// The lobby's shared pieces: frames and requests as they come off a socket (anything at all),
// the registration files, and the private runtime folder.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QtEndian>

#include "platform/dx8/directplay8.h"
#include "platform/dx8/lobby/lobby_protocol.h"

using namespace dx8;

namespace {

const QString kApp = QStringLiteral("{EABD4D9B-6AA9-4c24-9D10-1A6701B07342}");
const QString kTcpUrl =
    QStringLiteral("x-directplay:/provider=%7BEBFE7BA0-628D-11D2-AE0F-006097B01411%7D");

DPL_CONNECTION_SETTINGS joinSettings() {
    DPL_CONNECTION_SETTINGS s;
    s.ApplicationDescription.guidApplication = kApp;
    s.PlayerName = QStringLiteral("Bob");
    s.AddressSenderUrl = kTcpUrl + QStringLiteral(";hostname=127.0.0.1;port=2302");
    s.AddressDeviceUrl = kTcpUrl;
    return s;
}

QJsonObject requestObject(const DPL_CONNECTION_SETTINGS& s) {
    return QJsonDocument::fromJson(lobby::encodeRequest(s)).object();
}

std::optional<DPL_CONNECTION_SETTINGS> decode(const QJsonObject& o, QString* why) {
    return lobby::decodeRequest(QJsonDocument(o).toJson(QJsonDocument::Compact), why);
}

QByteArray header(quint32 length) {
    QByteArray h(4, '\0');
    qToBigEndian(length, h.data());
    return h;
}

TEST(LobbyFrames, SplitAndJoinedFramesComeOutWhole) {
    const QByteArray a = lobby::frame("first");
    const QByteArray b = lobby::frame("second");
    const QByteArray stream = a + b;
    lobby::FrameReader reader;
    std::vector<QByteArray> out;
    for (const char c : stream) {  // one byte at a time
        reader.append(QByteArray(1, c));
        while (auto p = reader.next()) {
            out.push_back(*p);
        }
    }
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "first");
    EXPECT_EQ(out[1], "second");
    EXPECT_FALSE(reader.bad());
    EXPECT_EQ(reader.buffered(), 0);
}

TEST(LobbyFrames, ZeroOversizedAndEndlessLengthsMakeTheStreamBad) {
    for (const quint32 length :
         {0u, static_cast<quint32>(lobby::kMaxFrameBytes) + 1, 0xFFFFFFFFu}) {
        lobby::FrameReader reader;
        reader.append(header(length) + QByteArray(16, 'x'));
        EXPECT_TRUE(reader.bad()) << length;
        EXPECT_FALSE(reader.next());
        EXPECT_EQ(reader.buffered(), 0);  // nothing kept of it
        reader.append(lobby::frame("later"));
        EXPECT_FALSE(reader.next());  // bad for good
    }
    // A good frame followed by a bad header: the good one still comes out, then the stream is bad.
    lobby::FrameReader reader;
    reader.append(lobby::frame("ok") + header(0x7FFFFFFF));
    EXPECT_EQ(reader.next(), std::optional<QByteArray>("ok"));
    EXPECT_TRUE(reader.bad());
    // The largest frame allowed passes.
    lobby::FrameReader big;
    big.append(lobby::frame(QByteArray(lobby::kMaxFrameBytes, 'y')));
    EXPECT_EQ(big.next()->size(), lobby::kMaxFrameBytes);
}

TEST(LobbyRequests, RoundTripKeepsEveryField) {
    DPL_CONNECTION_SETTINGS s = joinSettings();
    s.lFlags = DPLCONNECTSETTINGS_HOST;
    s.ApplicationDescription.SessionName = QStringLiteral("Évening race");
    s.ApplicationDescription.guidInstance =
        QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    s.ApplicationDescription.lMaxPlayers = 3;
    s.ApplicationDescription.lFlags = DPNSESSION_MIGRATE_HOST;
    s.ApplicationDescription.Password = QStringLiteral("s\u00e9same \"1\"");
    s.AddressSenderUrl.clear();
    s.AddressDeviceUrl = kTcpUrl + QStringLiteral(";port=2311");
    QString why;
    const auto back = lobby::decodeRequest(lobby::encodeRequest(s), &why);
    ASSERT_TRUE(back) << why.toStdString();
    EXPECT_EQ(back->lFlags, DPLCONNECTSETTINGS_HOST);
    EXPECT_EQ(back->ApplicationDescription.SessionName, s.ApplicationDescription.SessionName);
    EXPECT_EQ(back->ApplicationDescription.guidInstance, s.ApplicationDescription.guidInstance);
    EXPECT_EQ(back->ApplicationDescription.guidApplication, kApp);
    EXPECT_EQ(back->ApplicationDescription.lMaxPlayers, 3);
    EXPECT_EQ(back->ApplicationDescription.lFlags, DPNSESSION_MIGRATE_HOST);
    EXPECT_EQ(back->ApplicationDescription.Password, s.ApplicationDescription.Password);
    EXPECT_EQ(back->PlayerName, QStringLiteral("Bob"));
    EXPECT_EQ(back->AddressDeviceUrl, s.AddressDeviceUrl);
    EXPECT_TRUE(back->AddressSenderUrl.isEmpty());
    // An empty player name is a valid request: the program then asks the player.
    s.PlayerName.clear();
    EXPECT_TRUE(lobby::decodeRequest(lobby::encodeRequest(s), &why));
}

TEST(LobbyRequests, AnythingMalformedIsRefusedWithAReason) {
    const QJsonObject good = requestObject(joinSettings());
    QString why;
    ASSERT_TRUE(decode(good, &why)) << why.toStdString();

    struct Case {
        const char* name;
        std::function<void(QJsonObject&)> spoil;
    };
    auto inDesc = [](const char* key, QJsonValue v) {
        return [key, v](QJsonObject& o) {
            QJsonObject d = o.value(QStringLiteral("application")).toObject();
            d.insert(QLatin1String(key), v);
            o.insert(QStringLiteral("application"), d);
        };
    };
    auto set = [](const char* key, QJsonValue v) {
        return [key, v](QJsonObject& o) { o.insert(QLatin1String(key), v); };
    };
    const std::vector<Case> cases = {
        {"other type", set("type", QStringLiteral("launch"))},
        {"no type", [](QJsonObject& o) { o.remove(QStringLiteral("type")); }},
        {"newer version", set("version", 2)},
        {"version as text", set("version", QStringLiteral("1"))},
        {"unknown flags", set("flags", 2)},
        {"negative flags", set("flags", -1)},
        {"fractional flags", set("flags", 0.5)},
        {"flags as text", set("flags", QStringLiteral("1"))},
        {"no description", [](QJsonObject& o) { o.remove(QStringLiteral("application")); }},
        {"description as list", set("application", QJsonArray{1, 2})},
        {"application not a GUID", inDesc("guidApplication", QStringLiteral("Kartova"))},
        {"application missing", inDesc("guidApplication", QJsonValue())},
        {"instance not a GUID", inDesc("guidInstance", QStringLiteral("{zz}"))},
        {"session name too long", inDesc("sessionName", QString(lobby::kMaxNameChars + 1, 'a'))},
        {"session name with a line break", inDesc("sessionName", QStringLiteral("a\nb"))},
        {"session name as number", inDesc("sessionName", 7)},
        {"too many players", inDesc("maxPlayers", lobby::kMaxLobbyPlayers + 1)},
        {"negative players", inDesc("maxPlayers", -1)},
        {"huge players", inDesc("maxPlayers", 1e300)},
        {"client-server session", inDesc("flags", DPNSESSION_CLIENT_SERVER)},
        {"password too long", inDesc("password", QString(kMaxPasswordChars + 1, 'p'))},
        {"password as number", inDesc("password", 7)},
        {"player name too long", set("playerName", QString(lobby::kMaxNameChars + 1, 'b'))},
        {"player name with a NUL", set("playerName", QString(QStringLiteral("a")) + QChar(0))},
        {"player name as object", set("playerName", QJsonObject())},
        {"host address junk", set("hostAddress", QStringLiteral("http://example.org/"))},
        {"host address endless", set("hostAddress", kTcpUrl + QString(lobby::kMaxUrlChars, ';'))},
        {"host address of another provider",
         set("hostAddress", QStringLiteral("x-directplay:/provider=%7B0F1D6860-88D9-11CF-9C4E-"
                                           "00A0C905425E%7D;hostname=a"))},
        {"join without host address", set("hostAddress", QString())},
        {"join with a blank host name", set("hostAddress", kTcpUrl + QStringLiteral(";port=1"))},
        {"device address junk", set("deviceAddress", QStringLiteral("x-directplay:/a=%G1"))},
    };
    for (const Case& c : cases) {
        QJsonObject o = good;
        c.spoil(o);
        why.clear();
        EXPECT_FALSE(decode(o, &why)) << c.name;
        EXPECT_FALSE(why.isEmpty()) << c.name;
        EXPECT_FALSE(why.contains(QLatin1Char('\n'))) << c.name;
    }
    // Not JSON, or JSON of another shape.
    for (const QByteArray& junk :
         {QByteArray("{"), QByteArray("[]"), QByteArray("null"), QByteArray("\"connect\""),
          QByteArray("\xff\xfe\x00", 3), QByteArray(100, '{')}) {
        why.clear();
        EXPECT_FALSE(lobby::decodeRequest(junk, &why));
        EXPECT_FALSE(why.isEmpty());
    }
}

TEST(LobbyRequests, RepliesAreReadSafely) {
    EXPECT_TRUE(lobby::decodeReply(lobby::encodeReply({true, {}}))->taken);
    const auto refused = lobby::decodeReply(lobby::encodeReply({false, QStringLiteral("no")}));
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->taken);
    EXPECT_EQ(refused->reason, QStringLiteral("no"));
    // A reason is kept to one short line.
    const auto long_ = lobby::decodeReply(R"({"type":"refused","reason":")" +
                                          QByteArray(1000, 'x') + R"(\nmore"})");
    ASSERT_TRUE(long_);
    EXPECT_LE(long_->reason.size(), 200);
    EXPECT_FALSE(long_->reason.contains(QLatin1Char('\n')));
    EXPECT_FALSE(lobby::decodeReply(R"({"type":"maybe"})"));
    EXPECT_FALSE(lobby::decodeReply("junk"));
}

TEST(LobbyRequests, TheSessionsOutcomeIsReadSafely) {
    for (const lobby::Status s : {lobby::Status{DPLSESSION_CONNECTED, DPN_OK},
                                  lobby::Status{DPLSESSION_COULDNOTCONNECT, DPNERR_NORESPONSE}}) {
        const auto back = lobby::decodeStatus(lobby::encodeStatus(s));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->status, s.status);
        EXPECT_EQ(back->result, s.result);
    }
    for (const char* bad :
         {R"({"type":"status","status":0,"result":0})",
          R"({"type":"status","status":5,"result":0})",
          R"({"type":"status","status":1.5,"result":0})", R"({"type":"status","status":2})",
          R"({"type":"status","status":2,"result":"x"})",
          R"({"type":"status","status":2,"result":4294967296})", R"({"type":"taken"})", "junk"}) {
        EXPECT_FALSE(lobby::decodeStatus(bad)) << bad;
    }
}

class LobbyFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        qputenv("XDG_CONFIG_HOME", home_.filePath(QStringLiteral("config")).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", home_.filePath(QStringLiteral("run")).toLocal8Bit());
        QDir().mkpath(home_.filePath(QStringLiteral("run")));
        ::chmod(QFile::encodeName(home_.filePath(QStringLiteral("run"))).constData(), 0700);
    }
    static DPL_PROGRAM_DESC program(const QString& guid, const QString& name) {
        DPL_PROGRAM_DESC p;
        p.guidApplication = guid;
        p.ApplicationName = name;
        p.Description = QStringLiteral("Orvel");
        p.ExecutableFilename = name;
        p.ExecutablePath = QStringLiteral("/opt/with space/and\\backslash");
        p.LauncherFilename = name;
        p.LauncherPath = p.ExecutablePath;
        p.CommandLine = QStringLiteral("--one\n--two");  // line breaks survive the file
        return p;
    }
    QTemporaryDir home_;
};

TEST_F(LobbyFiles, RegistrationsAreWrittenReadAndRemovedPerApplication) {
    QString error;
    ASSERT_TRUE(lobby::writeRegistration(program(kApp, QStringLiteral("orvel")), &error))
        << error.toStdString();
    const QString other = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    ASSERT_TRUE(lobby::writeRegistration(program(other, QStringLiteral("another")), &error));
    // Rewritten at the next start: the newest description wins.
    DPL_PROGRAM_DESC moved = program(kApp, QStringLiteral("orvel"));
    moved.LauncherPath = QStringLiteral("/new/place");
    ASSERT_TRUE(lobby::writeRegistration(moved, &error));

    const auto read = lobby::readRegistration(kApp.toLower());  // GUIDs match in any case
    ASSERT_TRUE(read);
    EXPECT_EQ(read->LauncherPath, QStringLiteral("/new/place"));
    EXPECT_EQ(read->ExecutablePath, moved.ExecutablePath);
    EXPECT_EQ(read->CommandLine, moved.CommandLine);
    EXPECT_EQ(read->Description, moved.Description);
    EXPECT_EQ(read->guidApplication, kApp);
    const auto all = lobby::readRegistrations();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].ApplicationName, QStringLiteral("another"));
    EXPECT_EQ(all[1].ApplicationName, QStringLiteral("orvel"));

    EXPECT_TRUE(lobby::removeRegistration(kApp));
    EXPECT_FALSE(lobby::removeRegistration(kApp));
    EXPECT_FALSE(lobby::readRegistration(kApp));
    EXPECT_FALSE(lobby::writeRegistration(program(QStringLiteral("not a guid"), {}), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(lobby::registrationFile(QStringLiteral("../../etc/passwd")).isEmpty());
}

TEST_F(LobbyFiles, DamagedOrForeignRegistrationFilesAreSkipped) {
    QString error;
    ASSERT_TRUE(lobby::writeRegistration(program(kApp, QStringLiteral("orvel")), &error));
    const QString folder = lobby::registrationFolder();
    auto put = [&](const QString& name, const QByteArray& bytes) {
        QFile f(folder + QLatin1Char('/') + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    const QString other = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    const QString otherFile = lobby::guidKey(other) + QStringLiteral(".ini");
    // Garbage, a huge file, and a file that names another application than its file name.
    put(QStringLiteral("junk.ini"), QByteArray("\x00\x01[Program]\nFlags=x\n", 20));
    put(QStringLiteral("{22222222-2222-3333-4444-555555555555}.ini"),
        "[Program]\nFlags=0\nApplication={22222222-2222-3333-4444-555555555555}\n" +
            QByteArray(lobby::kMaxRegistrationBytes, ' '));
    put(otherFile, "[Program]\nFlags=0\nApplication=" + kApp.toUtf8() + "\n");
    EXPECT_FALSE(lobby::readRegistration(other));
    const auto all = lobby::readRegistrations();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].ApplicationName, QStringLiteral("orvel"));
    // Keys outside the program's section do not count.
    put(otherFile, "[Elsewhere]\nFlags=0\nApplication=" + other.toUtf8() + "\n");
    EXPECT_FALSE(lobby::readRegistration(other));
}

TEST_F(LobbyFiles, TheRuntimeFolderIsPrivateOrRefused) {
    QString error;
    const QString folder = lobby::runtimeFolder(&error);
    ASSERT_FALSE(folder.isEmpty()) << error.toStdString();
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(lobby::runtimeFolder(&error), folder);  // found again as it is

    // Opened to others: refused, not repaired behind the user's back.
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    error.clear();
    EXPECT_TRUE(lobby::runtimeFolder(&error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
    // A symbolic link in its place is refused too, even to a private folder.
    QDir().rmdir(folder);
    const QString target = home_.filePath(QStringLiteral("elsewhere"));
    QDir().mkpath(target);
    ::chmod(QFile::encodeName(target).constData(), 0700);
    ASSERT_TRUE(QFile::link(target, folder));
    EXPECT_TRUE(lobby::runtimeFolder(&error).isEmpty());
    // A file in its place as well.
    QFile::remove(folder);
    QFile file(folder);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_TRUE(lobby::runtimeFolder(&error).isEmpty());
}

// Without a session runtime folder the user's cache holds it, never a name in /tmp that another
// user could take first; one taken anyway by another user is refused with the reason.
TEST_F(LobbyFiles, WithoutASessionRuntimeFolderTheUsersCacheHoldsIt) {
    const QByteArray home = qgetenv("HOME");
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_CACHE_HOME");
    qputenv("HOME", home_.path().toLocal8Bit());
    // What the lobby used before; planted here by "another user", it must change nothing.
    const QString old = QStringLiteral("/tmp/orvel-%1").arg(::getuid());
    const bool planted = !QFileInfo::exists(old) && QFile(old).open(QIODevice::WriteOnly);
    struct Case {
        const char* cache;     // XDG_CACHE_HOME below the home; nullptr: unset
        const char* expected;  // below the home
    };
    for (const Case& c :
         {Case{nullptr, ".cache/orvel-runtime"}, Case{"cached", "cached/orvel-runtime"}}) {
        if (c.cache != nullptr) {
            qputenv("XDG_CACHE_HOME", home_.filePath(QLatin1String(c.cache)).toLocal8Bit());
        }
        QString error;
        const QString folder = lobby::runtimeFolder(&error);
        EXPECT_EQ(folder, home_.filePath(QLatin1String(c.expected))) << error.toStdString();
        struct stat st {};
        ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
            EXPECT_TRUE(lobby::runtimeFolder(&error).isEmpty());
            EXPECT_TRUE(error.contains(QLatin1String("belongs to another user")))
                << error.toStdString();
        }
    }
    if (planted) {
        QFile::remove(old);
    }
    qunsetenv("XDG_CACHE_HOME");
    qputenv("HOME", home);
}

TEST_F(LobbyFiles, AvailableProgramsAreListedAndLeftoversRemoved) {
    QString error;
    const QString folder = lobby::runtimeFolder(&error);
    ASSERT_FALSE(folder.isEmpty());
    const QUuid app = QUuid::fromString(kApp);
    QLocalServer mine;
    ASSERT_TRUE(mine.listen(lobby::availabilitySocket(folder, app, ::getpid())));
    // A socket file whose process is gone, one of another application, and a stray name.
    const QString stale = lobby::availabilitySocket(folder, app, 0x7FFFFFF0);
    QFile(stale).open(QIODevice::WriteOnly);
    QLocalServer other;
    ASSERT_TRUE(other.listen(lobby::availabilitySocket(
        folder, QUuid::fromString(QStringLiteral("{11111111-2222-3333-4444-555555555555}")),
        ::getpid())));
    QFile(folder + QStringLiteral("/") + app.toString(QUuid::WithoutBraces) +
          QStringLiteral(".x.sock"))
        .open(QIODevice::WriteOnly);

    const auto found = lobby::availablePrograms(folder, app);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, ::getpid());
    EXPECT_EQ(found[0].path, mine.fullServerName());
    EXPECT_FALSE(QFile::exists(stale));
    EXPECT_TRUE(lobby::availablePrograms(folder, QUuid()).empty());
}

}  // namespace
