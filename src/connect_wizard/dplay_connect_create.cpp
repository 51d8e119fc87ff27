// Page 2: creating a session.
#include <QCheckBox>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <algorithm>
#include <cmath>

#include "common/settings_store.h"
#include "connect_wizard/dplay_connect_private.h"
#include "ui_common/message_box.h"

namespace orvel {

void DPlayConnect::cmdCreate_Click() {
    if (state_ == State::Joining) {
        return;  // a join is under way; hosting now would mix two sessions
    }
    txtGameName->setText(GetDefault(QStringLiteral("GameName")));
    txtUsers->setText(QString::number(lMaxPlayers_));
    // Typing takes only a count the session allows; a text set otherwise is still checked on OK.
    delete txtUsers->validator();
    const int most = std::max(1, lMaxPlayers_);
    txtUsers->setValidator(
        most <= 9 ? static_cast<QValidator*>(new QRegularExpressionValidator(
                        QRegularExpression(QStringLiteral("[1-%1]").arg(most)), txtUsers))
                  : new QIntValidator(1, most, txtUsers));
    chkMigrate->setChecked(LeadingNumber(GetDefault(QStringLiteral("HostMigrate"))) == 1.0);
    ShowPage(CreatePage);
}

void DPlayConnect::cmdOkCreate_Click() {
    if (state_ == State::Joining) {
        return;
    }
    sessionName_ = txtGameName->text();
    if (sessionName_.isEmpty()) {
        MsgBox(this, QStringLiteral("You must enter a session name to create a session."),
               QStringLiteral("No name."), QMessageBox::Information);
        return;
    }
    const double players = LeadingNumber(txtUsers->text());
    if (players < 1) {
        MsgBox(this, QStringLiteral("You must enter a number of max players."),
               QStringLiteral("No max players."), QMessageBox::Information);
        return;
    }
    if (players > lMaxPlayers_) {
        MsgBox(this,
               QStringLiteral("The number of maximum players you specified exceeds the number of "
                              "maximum players allowed in this session.\r\n"
                              "Please lower the number of your maximum players."),
               QStringLiteral("Too many players."), QMessageBox::Information);
        return;
    }
    // Saved before hosting, so the choices stay stored also when hosting fails.
    SaveDefault(QStringLiteral("GameName"), sessionName_);
    SaveDefault(QStringLiteral("HostMigrate"),
                chkMigrate->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    if (chkMigrate->isHidden()) {
        chkMigrate->setChecked(false);
    }
    // Halves go to the even neighbour.
    CreateSession(sessionName_, chkMigrate->isChecked(),
                  static_cast<int32_t>(std::nearbyint(players)));
}

void DPlayConnect::cmdCancelCreate_Click() {
    ShowPage(SessionPage);
}

void DPlayConnect::CreateSession(const QString& name, bool migrate, int32_t maxPlayers) {
    dx8::DPN_APPLICATION_DESC desc;
    desc.guidApplication = guid_;
    desc.lMaxPlayers = maxPlayers;
    desc.SessionName = name;
    desc.lFlags = migrate ? dx8::DPNSESSION_MIGRATE_HOST : 0;
    desc.Password = txtPassword->text();  // empty: anyone may join
    maxPlayers_ = maxPlayers;
    hostSession(desc, deviceAddress.get(), dx8::DPNHOST_OKTOQUERYFORADDRESSING);
}

}  // namespace orvel
