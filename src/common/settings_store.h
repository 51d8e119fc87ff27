#pragma once

#include <QString>

// The per-user settings store: text values under an application and a section. On Linux it is
// an INI file in the user's config folder (XDG_CONFIG_HOME, normally ~/.config/Orvel/).
namespace orvel {

inline const QString kSettingsApp = QStringLiteral("VBDirectPlay");
inline const QString kSettingsSection = QStringLiteral("Defaults");

// The stored text, or defaultValue when the key is absent.
QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue = QString());

void SaveSetting(const QString& appName, const QString& section, const QString& key,
                 const QString& value);

// The settings of this program: application "VBDirectPlay", section "Defaults".
inline QString GetDefault(const QString& key, const QString& defaultValue = QString()) {
    return GetSetting(kSettingsApp, kSettingsSection, key, defaultValue);
}
inline void SaveDefault(const QString& key, const QString& value) {
    SaveSetting(kSettingsApp, kSettingsSection, key, value);
}

// The number at the start of a text, as the settings and the wizard's number boxes read it:
// leading blanks skipped, an optional sign, then decimal digits up to the first character that
// cannot continue the number; 0 when the text does not start with a number. Values beyond the
// 32-bit range are clamped.
double LeadingNumber(const QString& text);

}  // namespace orvel
