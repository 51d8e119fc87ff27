#include "ui_common/error_advice.h"

namespace orvel {

using namespace dx8;

namespace {

QString firewallNote() {
    return QStringLiteral("A firewall on either computer must let UDP ports %1 to %2 through.")
        .arg(kDefaultSessionPort)
        .arg(kLastSessionPort);
}

}  // namespace

QString startupAdvice() {
    return QStringLiteral(
        "Before its connection wizard opens, Orvel sets up its keyboard watch on the X display "
        "and its network session; one of them failed. Check that Orvel runs inside your "
        "desktop session (with DISPLAY set), then start it again. To see the step that failed, "
        "start it from a terminal with QT_LOGGING_RULES=\"orvel.*=true\".");
}

QString adviceFor(HRESULT code) {
    switch (code) {
        case DPNERR_NORESPONSE:
        case DPNERR_TIMEDOUT:
            return QStringLiteral(
                       "The host did not answer. Check the address you typed and its "
                       "port (%1 unless the host said otherwise), and that the host "
                       "is still waiting on its session. ")
                       .arg(kDefaultSessionPort) +
                   firewallNote();
        case DPNERR_INVALIDHOSTADDRESS:
        case DPNERR_ADDRESSING:
        case DPNERR_INCOMPLETEADDRESS:
        case DPNERR_INVALIDADDRESSFORMAT:
        case DPNERR_INVALIDURL:
            return QStringLiteral(
                       "The address cannot be reached as typed. Give a host name or an "
                       "IPv4 address, with a colon and a port from 1 to 65535 if the "
                       "host does not use %1 (for example 192.168.1.20:%1), or leave "
                       "it blank to search the local network.")
                .arg(kDefaultSessionPort);
        case DPNERR_SESSIONFULL:
            return QStringLiteral(
                "Every place in this session is taken. Wait until a player "
                "leaves and join again, or create a session of your own.");
        case DPNERR_HOSTREJECTEDCONNECTION:
        case DPNERR_NOTALLOWED:
            return QStringLiteral(
                "The host turned the connection down: the session may be "
                "closing or no longer take players. Search again and choose "
                "another session, or create your own.");
        case DPNERR_INVALIDPASSWORD:
            return QStringLiteral(
                "The session asks for a password, and the one given (if any) "
                "was not it. Ask its host for the password, or choose another "
                "session.");
        case DPNERR_INVALIDAPPLICATION:
        case DPNERR_INVALIDINSTANCE:
        case DPNERR_DOESNOTEXIST:
        case DPNERR_NOTHOST:
        case DPNERR_NOHOSTPLAYER:
            return QStringLiteral(
                "The session is no longer there, or the computer that answered "
                "does not host it any more. Search again and join the session "
                "as it is listed now.");
        case DPNERR_PLAYERNOTREACHABLE:
            return QStringLiteral(
                       "The host answered, but one of the session's other players "
                       "could not be reached from here. ") +
                   firewallNote();
        case DPNERR_CONNECTIONLOST:
        case DPNERR_PLAYERLOST:
        case DPNERR_NOCONNECTION:
            return QStringLiteral(
                "The connection to the other players broke off. Check this "
                "computer's network connection, then search for the session "
                "and join again, or create a new one.");
        case DPNERR_HOSTTERMINATEDSESSION:
            return QStringLiteral(
                "The player who created the session has closed it. Start Orvel "
                "again to join another session or to create your own.");
        case DPNERR_CONNECTING:
        case DPNERR_ALREADYCONNECTED:
            return QStringLiteral(
                "A connection is already under way. Wait for it to finish, or "
                "cancel it and try again.");
        case DPNERR_USERCANCEL:
        case DPNERR_ABORTED:
            return QStringLiteral(
                "The operation was cancelled before it finished. Try again "
                "when you are ready.");
        case DPNERR_INVALIDDEVICEADDRESS:
            return hostingAdvice(code, {}, kDefaultSessionPort);
        case DPNERR_GENERIC:
            return QStringLiteral(
                "Orvel could not use the network. Check that this computer has "
                "a working network connection, then try again.");
        default:
            return QStringLiteral(
                "Try again. If it keeps failing, start Orvel from a terminal "
                "with QT_LOGGING_RULES=\"orvel.*=true\" to see what happens.");
    }
}

QString hostingAdvice(HRESULT code, const QString& reason, int firstPort) {
    if (code == DPNERR_INVALIDDEVICEADDRESS || reason.contains(QLatin1String("port"))) {
        const bool inRange = firstPort >= kDefaultSessionPort && firstPort <= kLastSessionPort;
        const QString ports = inRange ? QStringLiteral("Every UDP port from %1 to %2 is in use")
                                            .arg(firstPort)
                                            .arg(kLastSessionPort)
                                      : QStringLiteral("UDP port %1 is in use").arg(firstPort);
        return ports + QStringLiteral(
                           " by another program (another Orvel, or a game server). "
                           "Close it and create the session again; `ss -ulpn` shows "
                           "which program holds a port.");
    }
    const QString why = reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason);
    return QStringLiteral("Hosting failed with error %1%2. ").arg(hresultHex(code), why) +
           adviceFor(code);
}

}  // namespace orvel
