#include "session/restart_record.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <cerrno>
#include <cstring>

#include "net/paths/meet_protocol.h"
#include "platform/os/runtime_folder.h"

Q_LOGGING_CATEGORY(lcRestartRecord, "orvel.session.restart")

namespace dx8 {

namespace {

// The record's path for player `name` (empty without a runtime folder). The name is hashed, so
// that no name can point outside the folder.
QByteArray recordPath(const QString& name, QString* error) {
    std::string why;
    const std::string folder = orvel::os::userRuntimeFolder(&why);
    if (folder.empty()) {
        if (error != nullptr) {
            *error = QString::fromStdString(why);
        }
        return {};
    }
    const QByteArray hash = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256);
    return QByteArray::fromStdString(folder) + "/return-" + hash.toHex().left(32) + ".json";
}

// A writer killed between writing its copy and renaming it leaves the copy behind, named for its
// process; nobody else would ever take it away. Copies of processes gone are removed.
void removeOrphanCopies(const QByteArray& path) {
    const QFileInfo record(QString::fromLocal8Bit(path));
    const QString prefix = record.fileName() + QLatin1Char('.');
    const QDir folder = record.dir();
    for (const QString& name : folder.entryList({prefix + QStringLiteral("*.new")},
                                                QDir::Files | QDir::System)) {
        bool ok = false;
        const pid_t pid = name.mid(prefix.size()).chopped(4).toInt(&ok);
        if (ok && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
            ::unlink(QFile::encodeName(folder.filePath(name)).constData());
        }
    }
}

QByteArray encode(const RestartRecord& r) {
    QJsonArray addresses;
    for (const ReturnAddress& a : r.ticket.addresses) {
        addresses.append(QJsonObject{{"ip", static_cast<qint64>(a.at.ipv4)},
                                     {"port", a.at.port},
                                     {"player", static_cast<qint64>(a.player)}});
    }
    const ReturnTicket& t = r.ticket;
    QJsonObject o{{"instance", t.instance.toString()},
                  {"application", t.application.toString()},
                  {"id", static_cast<qint64>(t.id)},
                  {"name", t.name},
                  {"session", r.sessionName},
                  {"addresses", addresses},
                  {"key", QString::fromLatin1(t.keySeed.toBase64())},
                  {"written", r.writtenMs}};
    if (t.code != 0) {
        o.insert("code", static_cast<qint64>(t.code));
        o.insert("meet",
                 QJsonObject{{"ip", static_cast<qint64>(t.meetAt.ipv4)}, {"port", t.meetAt.port}});
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// A whole number in [low, high] under key, or nothing.
std::optional<qint64> whole(const QJsonObject& o, const char* key, qint64 low, qint64 high) {
    const QJsonValue v = o.value(QLatin1String(key));
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d < double(low) || d > double(high) || d != qint64(d)) {
        return std::nullopt;
    }
    return qint64(d);
}

std::optional<RestartRecord> decode(const QByteArray& bytes) {
    const QJsonObject o = QJsonDocument::fromJson(bytes).object();
    RestartRecord r;
    ReturnTicket& t = r.ticket;
    t.instance = QUuid::fromString(o.value("instance").toString());
    t.application = QUuid::fromString(o.value("application").toString());
    t.name = o.value("name").toString();
    r.sessionName = o.value("session").toString();
    t.keySeed = QByteArray::fromBase64(o.value("key").toString().toLatin1());
    const auto id = whole(o, "id", 1, 0xFFFFFFFF);
    const auto written = whole(o, "written", 0, qint64(1) << 53);
    const QJsonArray addresses = o.value("addresses").toArray();
    if (!id || !written || t.keySeed.size() != kReturnKeyBytes || t.name.isEmpty() ||
        addresses.size() > qsizetype(kMaxReturnAddresses)) {
        return std::nullopt;
    }
    t.id = DPNID(*id);
    r.writtenMs = *written;
    if (o.contains("code")) {
        // Where the code leads is ours to look up later: a record that names it badly is no
        // record at all.
        const QJsonObject meet = o.value("meet").toObject();
        const auto code = whole(o, "code", 1, qint64(orvel::meet::kCodeMask));
        const auto ip = whole(meet, "ip", 1, 0xFFFFFFFF);
        const auto port = whole(meet, "port", 1, 0xFFFF);
        if (!code || !ip || !port) {
            return std::nullopt;
        }
        t.code = uint64_t(*code);
        t.meetAt = {uint32_t(*ip), uint16_t(*port)};
    }
    for (const QJsonValue& v : addresses) {
        const auto ip = whole(v.toObject(), "ip", 1, 0xFFFFFFFF);
        const auto port = whole(v.toObject(), "port", 1, 0xFFFF);
        const auto player = whole(v.toObject(), "player", 0, 0xFFFFFFFF);
        if (!ip || !port || !player) {
            return std::nullopt;
        }
        t.addresses.push_back({{uint32_t(*ip), uint16_t(*port)}, DPNID(*player)});
    }
    return t.valid() ? std::optional(r) : std::nullopt;
}

// The file's bytes when it is a plain file of this user's of a sane size; else nothing.
std::optional<QByteArray> readOwnFile(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    QByteArray bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
        st.st_size <= kMaxRestartRecordBytes) {
        bytes.resize(st.st_size);
        if (::read(fd, bytes.data(), bytes.size()) != bytes.size()) {
            bytes.clear();
        }
    }
    ::close(fd);
    return bytes.isEmpty() ? std::nullopt : std::optional(bytes);
}

}  // namespace

bool writeRestartRecord(const RestartRecord& record, QString* error) {
    const QByteArray path = recordPath(record.ticket.name, error);
    if (path.isEmpty()) {
        return false;
    }
    const QByteArray bytes = encode(record);
    const QByteArray temporary = path + "." + QByteArray::number(::getpid()) + ".new";
    ::unlink(temporary.constData());
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0 && ::write(fd, bytes.constData(), bytes.size()) == bytes.size();
    int why = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        written = false;
        why = errno;
    }
    if (written && ::rename(temporary.constData(), path.constData()) != 0) {
        written = false;
        why = errno;
    }
    if (!written) {
        if (error != nullptr) {
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(strerror(why)));
        }
        ::unlink(temporary.constData());
        return false;
    }
    removeOrphanCopies(path);
    return true;
}

std::optional<RestartRecord> readRestartRecord(const QString& name, qint64 nowMs) {
    const QByteArray path = recordPath(name, nullptr);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    const std::optional<QByteArray> bytes = readOwnFile(path);
    std::optional<RestartRecord> record = bytes ? decode(*bytes) : std::nullopt;
    // A record of the future is as useless as an old one: the clock was turned since.
    if (record &&
        (record->ticket.name != name || nowMs - record->writtenMs > kRestartRecordMaxAgeMs ||
         record->writtenMs > nowMs + kRestartRecordRefreshMs)) {
        record.reset();
    }
    if (!record && ::unlink(path.constData()) == 0) {
        qCDebug(lcRestartRecord) << "removed a stale or unusable restart record of" << name;
    }
    return record;
}

void removeRestartRecord(const QString& name) {
    const QByteArray path = recordPath(name, nullptr);
    if (!path.isEmpty()) {
        ::unlink(path.constData());
        removeOrphanCopies(path);
    }
}

RestartRecordKeeper::RestartRecordKeeper(const std::shared_ptr<DirectPlay8Peer>& peer)
    : peer_(peer) {
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
}

void RestartRecordKeeper::start() {
    timer_.start(kRestartRecordRefreshMs);
    refresh();
}

void RestartRecordKeeper::stop() {
    timer_.stop();
    if (!name_.isEmpty()) {
        removeRestartRecord(name_);
        name_.clear();
    }
}

void RestartRecordKeeper::refresh() {
    const ReturnTicket ticket = returnTicketOf(peer_.get());
    // Alone or between sessions there is nothing to come back to: a session left with us alone
    // in it would be gone by the time we were back.
    if (!name_.isEmpty() && (!ticket.valid() || name_ != ticket.name)) {
        removeRestartRecord(name_);
        name_.clear();
    }
    if (!ticket.valid()) {
        return;
    }
    name_ = ticket.name;
    QString why;
    if (!writeRestartRecord(
            {ticket, sessionNameOf(peer_.get()), QDateTime::currentMSecsSinceEpoch()}, &why)) {
        qCWarning(lcRestartRecord) << why;
    }
}

}  // namespace dx8
