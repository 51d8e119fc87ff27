#include <QApplication>

#include "main_window/frm_chat.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orvel"));

    orvel::frmChat window;
    if (!window.Form_Load()) {
        return 0;
    }
    window.show();
    return QApplication::exec();
}
