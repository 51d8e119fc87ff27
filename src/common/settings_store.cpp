#include "common/settings_store.h"

#include <QSettings>
#include <QStringList>
#include <algorithm>
#include <cmath>

namespace orvel {

namespace {

// One file per application name, e.g. ~/.config/Orvel/VBDirectPlay.ini.
QSettings openStore(const QString& appName) {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orvel"), appName);
}

}  // namespace

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue) {
    QSettings store(openStore(appName).fileName(), QSettings::IniFormat);
    store.beginGroup(section);
    if (!store.contains(key)) {
        return defaultValue;
    }
    const QVariant value = store.value(key);
    // A hand-edited value with an unquoted comma comes back as a list; it is still one text.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1Char(','));
    }
    return value.toString();
}

void SaveSetting(const QString& appName, const QString& section, const QString& key,
                 const QString& value) {
    QSettings store(openStore(appName).fileName(), QSettings::IniFormat);
    store.beginGroup(section);
    store.setValue(key, value);
    store.endGroup();
    store.sync();
}

double LeadingNumber(const QString& text) {
    // Blanks anywhere before and inside the number are skipped.
    QString digits;
    int i = 0;
    const int n = static_cast<int>(text.size());
    auto skipBlanks = [&] {
        while (i < n && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t') ||
                         text[i] == QLatin1Char('\r') || text[i] == QLatin1Char('\n'))) {
            ++i;
        }
    };
    skipBlanks();
    if (i < n && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        digits += text[i++];
    }
    bool seenDigit = false;
    bool seenPoint = false;
    for (;;) {
        skipBlanks();
        if (i >= n) {
            break;
        }
        const QChar c = text[i];
        if (c.unicode() >= '0' && c.unicode() <= '9') {
            digits += c;
            seenDigit = true;
        } else if (c == QLatin1Char('.') && !seenPoint) {
            digits += c;
            seenPoint = true;
        } else {
            break;
        }
        ++i;
    }
    if (!seenDigit) {
        return 0.0;
    }
    bool ok = false;
    double value = digits.toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        return 0.0;
    }
    return std::clamp(value, -2147483648.0, 2147483647.0);
}

}  // namespace orvel
