#pragma once

// What the lobby stand-in's two sides share: the per-user registration of lobby-launchable
// programs, the private runtime folder that holds the lobby sockets, and the messages that
// travel over those sockets.
//
// Registrations: one INI file per application GUID in <config>/Orvel/lobby/ (the settings
// store's folder), rewritten by the program at every start.
//
// Sockets: a running program that is available to lobby clients listens on
// "<runtime>/<guid>.<pid>.sock"; a launching lobby client listens on a one-shot
// "<runtime>/launch-<pid>-<random>.sock" and names it to the program in the environment
// variable kConnectionVariable. <runtime> is the user's private runtime folder
// (platform/os/runtime_folder.h); both ends also check the other's user id.
//
// Messages: a 4-byte big-endian length, then that many bytes of a JSON object (at most
// kMaxFrameBytes). The lobby client sends one "connect" request; the program answers "taken"
// once it has taken the connection settings, or "refused" with a reason; after "taken" it says
// how the session went ("status").

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <optional>
#include <vector>

#include "platform/dx8/lobby/directplay8_lobby.h"

namespace dx8::lobby {

inline constexpr char kConnectionVariable[] = "ORVEL_LOBBY_CONNECTION";
constexpr int kProtocolVersion = 1;
constexpr qsizetype kMaxFrameBytes = 4096;
constexpr qsizetype kMaxNameChars = 256;  // player and session names
constexpr qsizetype kMaxUrlChars = 1024;
constexpr int32_t kMaxLobbyPlayers = 64;
// A registration file larger than this is not read.
constexpr qint64 kMaxRegistrationBytes = 64 * 1024;

// ---- Registrations ----------------------------------------------------------------------------

QString registrationFolder();
// The file of one application; empty for a text that is no GUID.
QString registrationFile(const QString& guidApplication);
// Writes (replaces) the registration; false with a reason on failure.
bool writeRegistration(const DPL_PROGRAM_DESC& program, QString* error);
// The registration of one application, if there is a readable one.
std::optional<DPL_PROGRAM_DESC> readRegistration(const QString& guidApplication);
// Every readable registration, ordered by application name.
std::vector<DPL_PROGRAM_DESC> readRegistrations();
// False when there was none.
bool removeRegistration(const QString& guidApplication);

// ---- Runtime folder and sockets ---------------------------------------------------------------

// The private runtime folder, created when missing; empty with a reason when it cannot be made
// or is not private to this user (wrong owner, open mode, a symbolic link).
QString runtimeFolder(QString* error);
// "<folder>/<guid>.<pid>.sock"
QString availabilitySocket(const QString& folder, const QUuid& application, qint64 pid);

struct AvailableProgram {
    QString path;
    qint64 pid = 0;
};
// Sockets of running programs of this application that are available, newest first. Sockets
// whose process is gone are removed on the way.
std::vector<AvailableProgram> availablePrograms(const QString& folder, const QUuid& application);

// True when the other end of a connected local socket runs as this user.
bool peerIsSameUser(qintptr socketDescriptor);

// Normalised text of a GUID, e.g. "{eabd4d9b-6aa9-4c24-9d10-1a6701b07342}"; empty if none.
QString guidKey(const QString& text);

// ---- Messages ---------------------------------------------------------------------------------

// One frame around a payload.
QByteArray frame(const QByteArray& payload);

// Collects frames from a byte stream. A length of zero or above kMaxFrameBytes makes the
// stream bad for good.
class FrameReader {
public:
    void append(const QByteArray& bytes);
    // The next complete payload, if any.
    std::optional<QByteArray> next();
    bool bad() const { return bad_; }
    qsizetype buffered() const { return buffer_.size(); }

private:
    QByteArray buffer_;
    bool bad_ = false;
};

QByteArray encodeRequest(const DPL_CONNECTION_SETTINGS& settings);
// The settings of a "connect" request; nullopt with a one-line reason for anything else.
std::optional<DPL_CONNECTION_SETTINGS> decodeRequest(const QByteArray& payload, QString* why);

struct Reply {
    bool taken = false;
    QString reason;  // why it was refused
};
QByteArray encodeReply(const Reply& reply);
std::optional<Reply> decodeReply(const QByteArray& payload);

// How the session of a taken connection went: DPLSESSION_* and the result code of the join or
// hosting (DPN_OK when it worked).
struct Status {
    int32_t status = 0;
    HRESULT result = DPN_OK;
};
QByteArray encodeStatus(const Status& status);
// nullopt for anything but a "status" message with a known status.
std::optional<Status> decodeStatus(const QByteArray& payload);

}  // namespace dx8::lobby
