// Widget tests run on Qt's offscreen platform with private settings and runtime folders, and
// keep session searches on loopback.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform says so for every window it sizes; it tells nothing about the tests.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints"))) {
        return;
    }
    defaultHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    if (!config.isValid()) {
        return 2;
    }
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", config.path().toLocal8Bit());
    qputenv("ORVEL_DISCOVERY", "loopback");
    defaultHandler = qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
