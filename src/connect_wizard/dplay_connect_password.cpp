// Joining a listed session that asks for a password: the player is asked before the join, and
// again after a wrong one, until the join goes through or the player cancels.
#include "connect_wizard/dplay_connect_private.h"
#include "ui_common/error_advice.h"
#include "ui_common/message_box.h"

namespace orvel {

void DPlayConnect::joinAskingPassword(int index) {
    // A copy: the table may change while the player types and while the join waits.
    const SessionEntry entry = Sessions[static_cast<size_t>(index)];
    const Search before = search_;
    // A session that did not say it asks, but refuses the join for want of one, is asked too.
    bool ask = (entry.Desc.lFlags & dx8::DPNSESSION_REQUIREPASSWORD) != 0;
    QString password;
    bool wrong = false;
    for (;;) {
        if (ask) {
            setSearch(before);  // the list goes on while the player types
            const std::optional<QString> typed = askPassword(entry.Desc.SessionName, wrong);
            // Cancelled, or the wizard moved on meanwhile (closed, or a lobby's launch).
            if (!typed || state_ != State::Choosing) {
                return;
            }
            password = *typed;
        }
        joinListedSession(entry, password);
        if (state_ != State::Choosing || lastConnect_ != dx8::DPNERR_INVALIDPASSWORD ||
            givenUp()) {
            return;
        }
        wrong = !password.isEmpty();
        ask = true;
    }
}

void DPlayConnect::tellWrongPassword(const QString& sessionName) {
    MsgBox(this,
           QStringLiteral("Wrong password for %1.")
               .arg(sessionName.isEmpty() ? QStringLiteral("the session")
                                          : QStringLiteral("\"%1\"").arg(sessionName)),
           QStringLiteral("Wrong password"), QMessageBox::Information,
           adviceFor(dx8::DPNERR_INVALIDPASSWORD));
}

}  // namespace orvel
