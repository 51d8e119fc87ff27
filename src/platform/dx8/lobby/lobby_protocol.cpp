#include "platform/dx8/lobby/lobby_protocol.h"

#include "platform/dx8/directplay8.h"
#include "platform/os/runtime_folder.h"

#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtEndian>
#include <algorithm>
#include <limits>

namespace dx8::lobby {

namespace {

const QString kSection = QStringLiteral("Program");

// Keys of a registration file, in the order of the program description.
struct Field {
    const char* key;
    QString DPL_PROGRAM_DESC::*member;
};
const Field kFields[] = {
    {"Application", &DPL_PROGRAM_DESC::guidApplication},
    {"ApplicationName", &DPL_PROGRAM_DESC::ApplicationName},
    {"CommandLine", &DPL_PROGRAM_DESC::CommandLine},
    {"CurrentDirectory", &DPL_PROGRAM_DESC::CurrentDirectory},
    {"Description", &DPL_PROGRAM_DESC::Description},
    {"ExecutableFilename", &DPL_PROGRAM_DESC::ExecutableFilename},
    {"ExecutablePath", &DPL_PROGRAM_DESC::ExecutablePath},
    {"LauncherFilename", &DPL_PROGRAM_DESC::LauncherFilename},
    {"LauncherPath", &DPL_PROGRAM_DESC::LauncherPath},
};

// INI values written by hand rather than through QSettings: the file is one flat section, and
// reading it back must stay safe on whatever a user or another program left there.
QString escapeValue(const QString& value) {
    QString out;
    for (const QChar c : value) {
        switch (c.unicode()) {
            case '\\':
                out += QStringLiteral("\\\\");
                break;
            case '\n':
                out += QStringLiteral("\\n");
                break;
            case '\r':
                out += QStringLiteral("\\r");
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

QString unescapeValue(QStringView value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 1 < value.size()) {
            const QChar next = value[++i];
            out += next == QLatin1Char('n')   ? QChar(u'\n')
                   : next == QLatin1Char('r') ? QChar(u'\r')
                                              : next;
            continue;
        }
        out += value[i];
    }
    return out;
}

std::optional<DPL_PROGRAM_DESC> readFile(const QString& path) {
    QFile file(path);
    if (file.size() > kMaxRegistrationBytes || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QString text = QString::fromUtf8(file.read(kMaxRegistrationBytes));
    DPL_PROGRAM_DESC program;
    bool inSection = false;
    bool sawFlags = false;
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            inSection = line == QStringLiteral("[%1]").arg(kSection);
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inSection || eq <= 0) {
            continue;
        }
        const QStringView key = line.left(eq).trimmed();
        const QString value = unescapeValue(line.mid(eq + 1).trimmed());
        if (key == QLatin1String("Flags")) {
            bool ok = false;
            program.lFlags = value.toInt(&ok);
            sawFlags = ok;
            continue;
        }
        for (const Field& f : kFields) {
            if (key == QLatin1String(f.key)) {
                program.*(f.member) = value;
            }
        }
    }
    if (!sawFlags || guidKey(program.guidApplication).isEmpty()) {
        return std::nullopt;
    }
    return program;
}

bool processAlive(qint64 pid) {
    if (pid <= 0 || pid > 0x7FFFFFFF) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

QString guidKey(const QString& text) {
    const QUuid id = QUuid::fromString(QStringView(text).trimmed());
    return id.isNull() ? QString() : id.toString(QUuid::WithBraces).toLower();
}

// ---- Registrations ----------------------------------------------------------------------------

QString registrationFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Orvel/lobby");
}

QString registrationFile(const QString& guidApplication) {
    const QString key = guidKey(guidApplication);
    if (key.isEmpty()) {
        return {};
    }
    return registrationFolder() + QLatin1Char('/') + key + QStringLiteral(".ini");
}

bool writeRegistration(const DPL_PROGRAM_DESC& program, QString* error) {
    const QString path = registrationFile(program.guidApplication);
    if (path.isEmpty()) {
        *error = QStringLiteral("the application GUID is not valid");
        return false;
    }
    if (!QDir().mkpath(registrationFolder())) {
        *error = QStringLiteral("cannot make %1").arg(registrationFolder());
        return false;
    }
    QString text = QStringLiteral("[%1]\n").arg(kSection);
    text += QStringLiteral("Flags=%1\n").arg(program.lFlags);
    for (const Field& f : kFields) {
        text += QLatin1String(f.key) + QLatin1Char('=') + escapeValue(program.*(f.member)) +
                QLatin1Char('\n');
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

std::optional<DPL_PROGRAM_DESC> readRegistration(const QString& guidApplication) {
    const QString path = registrationFile(guidApplication);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    auto program = readFile(path);
    // A file under another GUID's name is not this application's registration.
    if (program && guidKey(program->guidApplication) != guidKey(guidApplication)) {
        return std::nullopt;
    }
    return program;
}

std::vector<DPL_PROGRAM_DESC> readRegistrations() {
    std::vector<DPL_PROGRAM_DESC> out;
    const QDir dir(registrationFolder());
    for (const QFileInfo& info :
         dir.entryInfoList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name)) {
        auto program = readFile(info.filePath());
        if (program &&
            guidKey(program->guidApplication) + QStringLiteral(".ini") == info.fileName()) {
            out.push_back(*program);
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
        return a.ApplicationName.compare(b.ApplicationName, Qt::CaseInsensitive) < 0;
    });
    return out;
}

bool removeRegistration(const QString& guidApplication) {
    const QString path = registrationFile(guidApplication);
    return !path.isEmpty() && QFile::remove(path);
}

// ---- Runtime folder and sockets ---------------------------------------------------------------

QString runtimeFolder(QString* error) {
    std::string why;
    const std::string folder = orvel::os::userRuntimeFolder(&why);
    if (folder.empty()) {
        *error = QString::fromStdString(why);
        return {};
    }
    return QDir::cleanPath(QFile::decodeName(QByteArray::fromStdString(folder)));
}

QString availabilitySocket(const QString& folder, const QUuid& application, qint64 pid) {
    return QStringLiteral("%1/%2.%3.sock")
        .arg(folder, application.toString(QUuid::WithoutBraces).toLower())
        .arg(pid);
}

std::vector<AvailableProgram> availablePrograms(const QString& folder, const QUuid& application) {
    std::vector<AvailableProgram> out;
    if (application.isNull()) {
        return out;
    }
    const QString prefix = application.toString(QUuid::WithoutBraces).toLower() + QLatin1Char('.');
    const QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList({prefix + QStringLiteral("*.sock")},
                                                    QDir::System | QDir::Files, QDir::Time);
    for (const QFileInfo& info : entries) {
        const QString middle = info.fileName().mid(prefix.size()).chopped(5);
        bool ok = false;
        const qint64 pid = middle.toLongLong(&ok);
        if (!ok || pid <= 0) {
            continue;
        }
        if (!processAlive(pid)) {
            QFile::remove(info.filePath());  // left behind by a program that ended abruptly
            continue;
        }
        out.push_back({info.filePath(), pid});
    }
    return out;
}

bool peerIsSameUser(qintptr socketDescriptor) {
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(static_cast<int>(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &length) !=
        0) {
        return false;
    }
    return cred.uid == ::getuid();
}

// ---- Messages ---------------------------------------------------------------------------------

QByteArray frame(const QByteArray& payload) {
    QByteArray out(4, '\0');
    qToBigEndian(static_cast<quint32>(payload.size()), out.data());
    return out + payload;
}

void FrameReader::append(const QByteArray& bytes) {
    if (bad_) {
        return;
    }
    buffer_.append(bytes);
    // Never more than one frame and its header waiting: a peer cannot make us hold more.
    if (buffer_.size() >= 4) {
        const quint32 length = qFromBigEndian<quint32>(buffer_.constData());
        if (length == 0 || length > kMaxFrameBytes) {
            bad_ = true;
            buffer_.clear();
        }
    }
    if (buffer_.size() > 2 * (kMaxFrameBytes + 4)) {
        bad_ = true;
        buffer_.clear();
    }
}

std::optional<QByteArray> FrameReader::next() {
    if (bad_ || buffer_.size() < 4) {
        return std::nullopt;
    }
    const quint32 length = qFromBigEndian<quint32>(buffer_.constData());
    if (buffer_.size() < 4 + static_cast<qsizetype>(length)) {
        return std::nullopt;
    }
    QByteArray payload = buffer_.mid(4, length);
    buffer_.remove(0, 4 + length);
    if (buffer_.size() >= 4) {
        const quint32 following = qFromBigEndian<quint32>(buffer_.constData());
        if (following == 0 || following > kMaxFrameBytes) {
            bad_ = true;
            buffer_.clear();
        }
    }
    return payload;
}

namespace {

bool hasControlCharacters(const QString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

// A URL the platform's address accepts, naming the TCP/IP provider or none; empty is allowed.
bool usableUrl(const QString& url, QString* why, const char* which) {
    if (url.isEmpty()) {
        return true;
    }
    if (url.size() > kMaxUrlChars) {
        *why = QStringLiteral("the %1 address is too long").arg(QLatin1String(which));
        return false;
    }
    DirectPlay8Address address;
    try {
        address.BuildFromURL(url);
    } catch (const DxError&) {
        *why = QStringLiteral("the %1 address is no DirectPlay address").arg(QLatin1String(which));
        return false;
    }
    const QString sp = address.GetSP();
    if (!sp.isEmpty() && guidKey(sp) != guidKey(DP8SP_TCPIP)) {
        *why = QStringLiteral("the %1 address names an unknown service provider")
                   .arg(QLatin1String(which));
        return false;
    }
    return true;
}

}  // namespace

QByteArray encodeRequest(const DPL_CONNECTION_SETTINGS& s) {
    QJsonObject desc{
        {QStringLiteral("flags"), s.ApplicationDescription.lFlags},
        {QStringLiteral("guidInstance"), s.ApplicationDescription.guidInstance},
        {QStringLiteral("guidApplication"), s.ApplicationDescription.guidApplication},
        {QStringLiteral("maxPlayers"), s.ApplicationDescription.lMaxPlayers},
        {QStringLiteral("sessionName"), s.ApplicationDescription.SessionName},
    };
    if (!s.ApplicationDescription.Password.isEmpty()) {
        desc.insert(QStringLiteral("password"), s.ApplicationDescription.Password);
    }
    QJsonObject o{
        {QStringLiteral("type"), QStringLiteral("connect")},
        {QStringLiteral("version"), kProtocolVersion},
        {QStringLiteral("flags"), s.lFlags},
        {QStringLiteral("application"), desc},
        {QStringLiteral("playerName"), s.PlayerName},
        {QStringLiteral("hostAddress"), s.AddressSenderUrl},
        {QStringLiteral("deviceAddress"), s.AddressDeviceUrl},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<DPL_CONNECTION_SETTINGS> decodeRequest(const QByteArray& payload, QString* why) {
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        *why = QStringLiteral("the request is not a JSON object");
        return std::nullopt;
    }
    const QJsonObject o = doc.object();
    if (o.value(QStringLiteral("type")).toString() != QLatin1String("connect")) {
        *why = QStringLiteral("unknown request");
        return std::nullopt;
    }
    if (o.value(QStringLiteral("version")).toInt(-1) != kProtocolVersion) {
        *why = QStringLiteral("unsupported lobby protocol version");
        return std::nullopt;
    }
    // Whole numbers in a range; anything else (text, fractions, huge values) is refused.
    auto integer = [](const QJsonValue& v, int64_t lo, int64_t hi) -> std::optional<int32_t> {
        if (!v.isDouble()) {
            return std::nullopt;
        }
        const double d = v.toDouble();
        if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi)) ||
            d != static_cast<double>(static_cast<int64_t>(d))) {
            return std::nullopt;
        }
        return static_cast<int32_t>(d);
    };
    auto text = [](const QJsonObject& from, const char* key,
                   qsizetype limit) -> std::optional<QString> {
        const QJsonValue v = from.value(QLatin1String(key));
        if (v.isUndefined()) {
            return QString();
        }
        if (!v.isString() || v.toString().size() > limit) {
            return std::nullopt;
        }
        return v.toString();
    };

    DPL_CONNECTION_SETTINGS s;
    const auto flags = integer(o.value(QStringLiteral("flags")), 0, DPLCONNECTSETTINGS_HOST);
    if (!flags) {
        *why = QStringLiteral("the connection flags are not valid");
        return std::nullopt;
    }
    s.lFlags = *flags;
    const QJsonValue descValue = o.value(QStringLiteral("application"));
    if (!descValue.isObject()) {
        *why = QStringLiteral("the application description is missing");
        return std::nullopt;
    }
    const QJsonObject desc = descValue.toObject();
    DPN_APPLICATION_DESC& d = s.ApplicationDescription;
    const auto application = text(desc, "guidApplication", 64);
    if (!application || guidKey(*application).isEmpty()) {
        *why = QStringLiteral("the application GUID is not valid");
        return std::nullopt;
    }
    d.guidApplication = *application;
    const auto instance = text(desc, "guidInstance", 64);
    if (!instance || (!instance->isEmpty() && guidKey(*instance).isEmpty())) {
        *why = QStringLiteral("the instance GUID is not valid");
        return std::nullopt;
    }
    d.guidInstance = *instance;
    const auto session = text(desc, "sessionName", kMaxNameChars);
    if (!session || hasControlCharacters(*session)) {
        *why = QStringLiteral("the session name is not valid");
        return std::nullopt;
    }
    d.SessionName = *session;
    const auto password = text(desc, "password", kMaxPasswordChars);
    if (!password) {
        *why = QStringLiteral("the session password is not valid");
        return std::nullopt;
    }
    d.Password = *password;
    const QJsonValue max = desc.value(QStringLiteral("maxPlayers"));
    const auto maxPlayers =
        max.isUndefined() ? std::optional<int32_t>(0) : integer(max, 0, kMaxLobbyPlayers);
    const QJsonValue descFlags = desc.value(QStringLiteral("flags"));
    const auto sessionFlags = descFlags.isUndefined()
                                  ? std::optional<int32_t>(0)
                                  : integer(descFlags, 0, DPNSESSION_MIGRATE_HOST);
    if (!maxPlayers || !sessionFlags || (*sessionFlags & ~DPNSESSION_MIGRATE_HOST) != 0) {
        *why = QStringLiteral("the session size or flags are not valid");
        return std::nullopt;
    }
    d.lMaxPlayers = *maxPlayers;
    d.lFlags = *sessionFlags;
    const auto player = text(o, "playerName", kMaxNameChars);
    if (!player || hasControlCharacters(*player)) {
        *why = QStringLiteral("the player name is not valid");
        return std::nullopt;
    }
    s.PlayerName = *player;
    const auto host = text(o, "hostAddress", kMaxUrlChars);
    const auto device = text(o, "deviceAddress", kMaxUrlChars);
    if (!host || !device) {
        *why = QStringLiteral("an address is not valid");
        return std::nullopt;
    }
    if (!usableUrl(*host, why, "host") || !usableUrl(*device, why, "device")) {
        return std::nullopt;
    }
    s.AddressSenderUrl = *host;
    s.AddressDeviceUrl = *device;
    if ((s.lFlags & DPLCONNECTSETTINGS_HOST) == 0) {
        DirectPlay8Address hostAddress;
        if (!host->isEmpty()) {
            hostAddress.BuildFromURL(*host);
        }
        if (!hostAddress.HasComponent(DPNA_KEY_HOSTNAME) ||
            hostAddress.GetComponentString(DPNA_KEY_HOSTNAME).trimmed().isEmpty()) {
            *why = QStringLiteral("a join needs the host's address");
            return std::nullopt;
        }
    }
    return s;
}

QByteArray encodeReply(const Reply& reply) {
    QJsonObject o{{QStringLiteral("type"),
                   reply.taken ? QStringLiteral("taken") : QStringLiteral("refused")}};
    if (!reply.taken) {
        o.insert(QStringLiteral("reason"), reply.reason);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Reply> decodeReply(const QByteArray& payload) {
    const QJsonDocument doc = QJsonDocument::fromJson(payload);
    if (!doc.isObject()) {
        return std::nullopt;
    }
    const QString type = doc.object().value(QStringLiteral("type")).toString();
    if (type == QLatin1String("taken")) {
        return Reply{true, {}};
    }
    if (type == QLatin1String("refused")) {
        QString reason = doc.object().value(QStringLiteral("reason")).toString().left(200);
        reason.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return Reply{false, reason.isEmpty() ? QStringLiteral("no reason given") : reason};
    }
    return std::nullopt;
}

QByteArray encodeStatus(const Status& status) {
    const QJsonObject o{{QStringLiteral("type"), QStringLiteral("status")},
                        {QStringLiteral("status"), status.status},
                        {QStringLiteral("result"), static_cast<qint64>(status.result)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Status> decodeStatus(const QByteArray& payload) {
    const QJsonDocument doc = QJsonDocument::fromJson(payload);
    const QJsonObject o = doc.object();
    if (!doc.isObject() || o.value(QStringLiteral("type")).toString() != QLatin1String("status")) {
        return std::nullopt;
    }
    const QJsonValue status = o.value(QStringLiteral("status"));
    const QJsonValue result = o.value(QStringLiteral("result"));
    const double s = status.toDouble(-1);
    const double r = result.toDouble(0.5);
    if (!status.isDouble() || !(s >= DPLSESSION_CONNECTED && s <= DPLSESSION_TERMINATED) ||
        s != static_cast<int>(s) || !result.isDouble() ||
        !(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()) ||
        r != static_cast<double>(static_cast<int64_t>(r))) {
        return std::nullopt;
    }
    return Status{static_cast<int32_t>(s), static_cast<HRESULT>(static_cast<int64_t>(r))};
}

}  // namespace dx8::lobby
