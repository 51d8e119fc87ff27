#pragma once

// Types, result codes and flags of the DirectX 8 stand-in. The names and values are those of the
// DirectX 8 platform (DirectPlay 8, DirectInput 8), so that the system's code reads as it would on
// Windows; only what the system uses is here.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <stdexcept>

namespace dx8 {

using HRESULT = int32_t;
using DPNID = uint32_t;     // player id; 0 is the all-players group
using DPNHANDLE = int32_t;  // asynchronous operation or lobby connection handle; 0 = none

constexpr HRESULT hr(uint32_t code) {
    return static_cast<HRESULT>(code);
}

// ---- Result codes ---------------------------------------------------------------------------
constexpr HRESULT DPN_OK = 0;
constexpr HRESULT DPNSUCCESS_PENDING = hr(0x0015800E);
constexpr HRESULT E_FAIL = hr(0x80004005);
constexpr HRESULT E_NOTIMPL = hr(0x80004001);
constexpr HRESULT E_INVALIDARG = hr(0x80070057);
constexpr HRESULT E_OUTOFMEMORY = hr(0x8007000E);
constexpr HRESULT DPNERR_GENERIC = E_FAIL;
constexpr HRESULT DPNERR_INVALIDPARAM = E_INVALIDARG;
constexpr HRESULT DPNERR_UNSUPPORTED = E_NOTIMPL;
constexpr HRESULT DPNERR_OUTOFMEMORY = E_OUTOFMEMORY;
constexpr HRESULT DPNERR_ABORTED = hr(0x80158030);
constexpr HRESULT DPNERR_ADDRESSING = hr(0x80158040);
constexpr HRESULT DPNERR_ALREADYCLOSING = hr(0x80158050);
constexpr HRESULT DPNERR_ALREADYCONNECTED = hr(0x80158060);
constexpr HRESULT DPNERR_ALREADYINITIALIZED = hr(0x80158080);
constexpr HRESULT DPNERR_ALREADYREGISTERED = hr(0x80158090);
constexpr HRESULT DPNERR_CANNOTCANCEL = hr(0x80158110);
constexpr HRESULT DPNERR_CANTCREATEPLAYER = hr(0x80158130);
constexpr HRESULT DPNERR_CANTLAUNCHAPPLICATION = hr(0x80158140);
constexpr HRESULT DPNERR_CONNECTING = hr(0x80158150);
constexpr HRESULT DPNERR_CONNECTIONLOST = hr(0x80158160);
constexpr HRESULT DPNERR_DOESNOTEXIST = hr(0x80158180);
constexpr HRESULT DPNERR_HOSTING = hr(0x80158250);
constexpr HRESULT DPNERR_HOSTREJECTEDCONNECTION = hr(0x80158260);
constexpr HRESULT DPNERR_HOSTTERMINATEDSESSION = hr(0x80158270);
constexpr HRESULT DPNERR_INCOMPLETEADDRESS = hr(0x80158280);
constexpr HRESULT DPNERR_INVALIDADDRESSFORMAT = hr(0x80158290);
constexpr HRESULT DPNERR_INVALIDAPPLICATION = hr(0x80158300);
constexpr HRESULT DPNERR_INVALIDDEVICEADDRESS = hr(0x80158320);
constexpr HRESULT DPNERR_INVALIDFLAGS = hr(0x80158340);
constexpr HRESULT DPNERR_INVALIDHANDLE = hr(0x80158360);
constexpr HRESULT DPNERR_INVALIDHOSTADDRESS = hr(0x80158370);
constexpr HRESULT DPNERR_INVALIDINSTANCE = hr(0x80158380);
constexpr HRESULT DPNERR_INVALIDOBJECT = hr(0x80158400);
constexpr HRESULT DPNERR_INVALIDPASSWORD = hr(0x80158410);
constexpr HRESULT DPNERR_INVALIDPLAYER = hr(0x80158420);
constexpr HRESULT DPNERR_INVALIDSTRING = hr(0x80158440);
constexpr HRESULT DPNERR_INVALIDURL = hr(0x80158450);
constexpr HRESULT DPNERR_NOCONNECTION = hr(0x80158480);
constexpr HRESULT DPNERR_NOHOSTPLAYER = hr(0x80158490);
constexpr HRESULT DPNERR_NORESPONSE = hr(0x80158510);
constexpr HRESULT DPNERR_NOTALLOWED = hr(0x80158520);
constexpr HRESULT DPNERR_NOTHOST = hr(0x80158530);
constexpr HRESULT DPNERR_NOTREADY = hr(0x80158540);
constexpr HRESULT DPNERR_NOTREGISTERED = hr(0x80158550);
constexpr HRESULT DPNERR_PLAYERLOST = hr(0x80158570);
constexpr HRESULT DPNERR_PLAYERNOTREACHABLE = hr(0x80158590);
constexpr HRESULT DPNERR_SENDTOOLARGE = hr(0x80158600);
constexpr HRESULT DPNERR_SESSIONFULL = hr(0x80158610);
constexpr HRESULT DPNERR_TIMEDOUT = hr(0x80158630);
constexpr HRESULT DPNERR_UNINITIALIZED = hr(0x80158640);
constexpr HRESULT DPNERR_USERCANCEL = hr(0x80158650);

// A failed platform operation raises DxError carrying its result code, as the platform's
// automation interfaces raise an error. Handlers that ignore failures catch it step by step.
class DxError : public std::runtime_error {
public:
    explicit DxError(HRESULT code, const char* what = nullptr);
    HRESULT code() const noexcept { return code_; }

private:
    HRESULT code_;
};

[[noreturn]] void raise(HRESULT code, const char* what = nullptr);

// "0x80158610": "0x" and the code as unsigned 32-bit hexadecimal, upper-case digits, no leading
// zeros (a failure code, negative as a 32-bit integer, always shows all eight digits).
QString hresultHex(HRESULT code);

// ---- DirectPlay 8 flags and constants ----------------------------------------------------------
constexpr DPNID DPNID_ALL_PLAYERS_GROUP = 0;

constexpr int32_t DPNOP_SYNC = hr(0x80000000);
constexpr int32_t DPNSETPEERINFO_SYNC = DPNOP_SYNC;
constexpr int32_t DPNSETCLIENTINFO_SYNC = DPNOP_SYNC;

constexpr int32_t DPNSEND_SYNC = DPNOP_SYNC;
constexpr int32_t DPNSEND_NOCOPY = 0x0001;
constexpr int32_t DPNSEND_NOCOMPLETE = 0x0002;
constexpr int32_t DPNSEND_COMPLETEONPROCESS = 0x0004;
constexpr int32_t DPNSEND_GUARANTEED = 0x0008;
constexpr int32_t DPNSEND_NONSEQUENTIAL = 0x0010;
constexpr int32_t DPNSEND_NOLOOPBACK = 0x0020;
constexpr int32_t DPNSEND_PRIORITY_LOW = 0x0040;
constexpr int32_t DPNSEND_PRIORITY_HIGH = 0x0080;

constexpr int32_t DPNSESSION_CLIENT_SERVER = 0x0001;
constexpr int32_t DPNSESSION_MIGRATE_HOST = 0x0004;
// In a search's answer: the session asks a joiner for its password.
constexpr int32_t DPNSESSION_REQUIREPASSWORD = 0x0080;

constexpr int32_t DPNINFO_NAME = 0x0001;
constexpr int32_t DPNINFO_DATA = 0x0002;

constexpr int32_t DPNPLAYER_LOCAL = 0x0002;
constexpr int32_t DPNPLAYER_HOST = 0x0004;

constexpr int32_t DPNENUMHOSTS_OKTOQUERYFORADDRESSING = 0x0001;
constexpr int32_t DPNENUMHOSTS_NOBROADCASTFALLBACK = 0x0002;
constexpr int32_t DPNCONNECT_OKTOQUERYFORADDRESSING = 0x0001;
constexpr int32_t DPNHOST_OKTOQUERYFORADDRESSING = 0x0001;

constexpr int32_t DPNCANCEL_CONNECT = 0x0001;
constexpr int32_t DPNCANCEL_ENUM = 0x0002;
constexpr int32_t DPNCANCEL_SEND = 0x0004;
constexpr int32_t DPNCANCEL_ALL_OPERATIONS = 0x8000;

constexpr int32_t DPNCLOSE_IMMEDIATE = 0x0001;

constexpr int32_t DPNLOBBY_REGISTER = 0x0001;
constexpr int32_t DPNLOBBY_UNREGISTER = 0x0002;

constexpr int32_t DPLCONNECTSETTINGS_HOST = 0x0001;

// What a lobbied program tells its lobby client of the session it was asked for.
constexpr int32_t DPLSESSION_CONNECTED = 0x0001;
constexpr int32_t DPLSESSION_COULDNOTCONNECT = 0x0002;
constexpr int32_t DPLSESSION_DISCONNECTED = 0x0003;
constexpr int32_t DPLSESSION_TERMINATED = 0x0004;

// Message ids that InfoNotify passes in lMsgID.
constexpr int32_t DPN_MSGID_CLIENT_INFO = hr(0xFFFF0004);
constexpr int32_t DPN_MSGID_PEER_INFO = hr(0xFFFF0010);
// Ours: every link of the session went dark at once and the peer is trying to come back into it
// (lNotifyID: the local player's id). The session's end follows when it cannot.
constexpr int32_t DPN_MSGID_COMING_BACK = hr(0xFFFF0100);

constexpr int32_t DPNDESTROYPLAYERREASON_NORMAL = 0x0001;
constexpr int32_t DPNDESTROYPLAYERREASON_CONNECTIONLOST = 0x0002;
constexpr int32_t DPNDESTROYPLAYERREASON_SESSIONTERMINATED = 0x0003;

// The TCP/IP service provider and the address keys of the DirectPlay address URL.
inline const QString DP8SP_TCPIP = QStringLiteral("{EBFE7BA0-628D-11D2-AE0F-006097B01411}");
inline const QString DPNA_KEY_PROVIDER = QStringLiteral("provider");
inline const QString DPNA_KEY_HOSTNAME = QStringLiteral("hostname");
inline const QString DPNA_KEY_PORT = QStringLiteral("port");
inline const QString DPNA_KEY_DEVICE = QStringLiteral("device");
constexpr int32_t kDefaultSessionPort = 2302;
// The longest session password the programs take, in characters.
constexpr qsizetype kMaxPasswordChars = 256;
constexpr int32_t kLastSessionPort = 2400;

// ---- DirectPlay 8 records -------------------------------------------------------------------
// GUIDs travel as text in their usual form with braces, e.g. "{EABD4D9B-6AA9-4c24-9D10-...}".

struct DPN_APPLICATION_DESC {
    int32_t lSize = 0;
    int32_t lFlags = 0;
    QString guidInstance;
    QString guidApplication;
    int32_t lMaxPlayers = 0;  // 0 = no limit
    int32_t lCurrentPlayers = 0;
    QString SessionName;
    QString Password;
};

struct DPN_PLAYER_INFO {
    int32_t lSize = 0;
    int32_t lInfoFlags = 0;  // DPNINFO_NAME when Name is given
    QString Name;
    int32_t lPlayerFlags = 0;  // DPNPLAYER_LOCAL, DPNPLAYER_HOST
};

struct DPN_SERVICE_PROVIDER_INFO {
    int32_t lFlags = 0;
    QString Guid;
    QString Name;
};

// ---- DirectPlay 8 notifications -------------------------------------------------------------

struct DPNMSG_RECEIVE {
    DPNID idSender = 0;
    QByteArray ReceivedData;
    int32_t lDataSize = 0;
    int32_t lReceiveFlags = 0;
};

struct DPNMSG_ENUM_HOSTS_RESPONSE {
    DPN_APPLICATION_DESC ApplicationDescription;
    int32_t lRoundTripLatencyMS = 0;
    QString AddressSenderUrl;  // the host's address
    QString AddressDeviceUrl;  // the local device the answer arrived on
};

struct DPNMSG_ENUM_HOSTS_QUERY {
    QString AddressSenderUrl;
    QString AddressDeviceUrl;
    int32_t lMaxResponseDataSize = 0;
};

struct DPNMSG_CONNECT_COMPLETE {
    DPNHANDLE AsyncOpHandle = 0;
    HRESULT hResultCode = DPN_OK;
    QByteArray ReplyData;
};

struct DPNMSG_ASYNC_OP_COMPLETE {
    DPNHANDLE AsyncOpHandle = 0;
    HRESULT hResultCode = DPN_OK;
};

struct DPNMSG_SEND_COMPLETE {
    DPNHANDLE AsyncOpHandle = 0;
    HRESULT hResultCode = DPN_OK;
    int32_t lSendTime = 0;
};

struct DPNMSG_TERMINATE_SESSION {
    HRESULT hResultCode = DPN_OK;
    QByteArray TerminateData;
};

struct DPNMSG_INDICATE_CONNECT {
    QString AddressPlayerUrl;
    QString AddressDeviceUrl;
};

}  // namespace dx8
