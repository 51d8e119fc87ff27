// DirectPlay8Address: the "x-directplay:/key=value;key=value" text form and its components.

#include <QStringDecoder>
#include <optional>

#include "platform/dx8/directplay8.h"

namespace dx8 {

namespace {

const QString kScheme = QStringLiteral("x-directplay:/");

// Characters that stand for themselves in a value or key; everything else is percent-encoded.
bool isPlain(uchar c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

QString encode(const QString& text) {
    static const char hex[] = "0123456789ABCDEF";
    QString out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size());
    for (const char ch : utf8) {
        const auto c = static_cast<uchar>(ch);
        if (isPlain(c)) {
            out += QLatin1Char(static_cast<char>(c));
        } else {
            out += QLatin1Char('%');
            out += QLatin1Char(hex[c >> 4]);
            out += QLatin1Char(hex[c & 0xF]);
        }
    }
    return out;
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') {
        return u - '0';
    }
    if (u >= 'a' && u <= 'f') {
        return u - 'a' + 10;
    }
    if (u >= 'A' && u <= 'F') {
        return u - 'A' + 10;
    }
    return -1;
}

// Percent-decodes one key or value; nullopt for a broken escape, a raw character that must have
// been escaped, or bytes that are no valid UTF-8.
std::optional<QString> decode(QStringView text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('%')) {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) {
                return std::nullopt;
            }
            bytes.append(static_cast<char>(hi * 16 + lo));
            i += 2;
            continue;
        }
        const char16_t u = c.unicode();
        // Printable ASCII other than the separators; braces pass for hand-written provider GUIDs.
        if (u <= 0x20 || u >= 0x7F || u == ';' || u == '=' || u == '#' || u == '/' || u == '?') {
            return std::nullopt;
        }
        bytes.append(static_cast<char>(u));
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString out = utf8(bytes);
    if (utf8.hasError()) {
        return std::nullopt;
    }
    return out;
}

// A port is 1..65535 in plain decimal digits.
bool validPort(const QString& value) {
    if (value.isEmpty() || value.size() > 5) {
        return false;
    }
    for (const QChar c : value) {
        if (!c.isDigit() || c.unicode() > '9') {
            return false;
        }
    }
    const int port = value.toInt();
    return port >= 1 && port <= 65535;
}

}  // namespace

void DirectPlay8Address::BuildFromURL(const QString& url) {
    if (!url.startsWith(kScheme, Qt::CaseInsensitive)) {
        raise(DPNERR_INVALIDURL);
    }
    QMap<QString, QString> parsed;
    const QStringView body = QStringView(url).mid(kScheme.size());
    if (!body.isEmpty()) {
        for (const QStringView part : body.split(QLatin1Char(';'))) {
            const qsizetype eq = part.indexOf(QLatin1Char('='));
            if (eq <= 0) {
                raise(DPNERR_INVALIDURL);
            }
            const std::optional<QString> key = decode(part.left(eq));
            const std::optional<QString> value = decode(part.mid(eq + 1));
            if (!key || !value || key->isEmpty()) {
                raise(DPNERR_INVALIDURL);
            }
            const QString lower = key->toLower();
            if (parsed.contains(lower)) {
                raise(DPNERR_INVALIDURL);
            }
            if (lower == DPNA_KEY_PORT && !validPort(*value)) {
                raise(DPNERR_INVALIDURL);
            }
            parsed.insert(lower, *value);
        }
    }
    components_ = std::move(parsed);
}

QString DirectPlay8Address::GetURL() const {
    QString url = kScheme;
    bool first = true;
    auto add = [&](const QString& key, const QString& value) {
        if (!first) {
            url += QLatin1Char(';');
        }
        first = false;
        url += encode(key) + QLatin1Char('=') + encode(value);
    };
    // The provider leads, then the usual keys, then any others in key order.
    const QString ordered[] = {DPNA_KEY_PROVIDER, DPNA_KEY_DEVICE, DPNA_KEY_HOSTNAME,
                               DPNA_KEY_PORT};
    for (const QString& key : ordered) {
        if (components_.contains(key)) {
            add(key, components_.value(key));
        }
    }
    for (auto it = components_.cbegin(); it != components_.cend(); ++it) {
        if (it.key() != DPNA_KEY_PROVIDER && it.key() != DPNA_KEY_DEVICE &&
            it.key() != DPNA_KEY_HOSTNAME && it.key() != DPNA_KEY_PORT) {
            add(it.key(), it.value());
        }
    }
    return url;
}

void DirectPlay8Address::SetSP(const QString& providerGuid) {
    if (providerGuid.isEmpty()) {
        raise(DPNERR_INVALIDPARAM);
    }
    components_.insert(DPNA_KEY_PROVIDER, providerGuid);
}

QString DirectPlay8Address::GetSP() const {
    return components_.value(DPNA_KEY_PROVIDER);
}

void DirectPlay8Address::AddComponentString(const QString& key, const QString& value) {
    if (key.isEmpty()) {
        raise(DPNERR_INVALIDPARAM);
    }
    const QString lower = key.toLower();
    if (lower == DPNA_KEY_PORT && !validPort(value)) {
        raise(DPNERR_INVALIDPARAM);
    }
    components_.insert(lower, value);
}

void DirectPlay8Address::AddComponentLong(const QString& key, int32_t value) {
    AddComponentString(key, QString::number(value));
}

QString DirectPlay8Address::GetComponentString(const QString& key) const {
    const auto it = components_.constFind(key.toLower());
    if (it == components_.cend()) {
        raise(DPNERR_DOESNOTEXIST);
    }
    return it.value();
}

int32_t DirectPlay8Address::GetComponentLong(const QString& key) const {
    bool ok = false;
    const int32_t value = GetComponentString(key).toInt(&ok);
    if (!ok) {
        raise(DPNERR_INVALIDPARAM);
    }
    return value;
}

bool DirectPlay8Address::HasComponent(const QString& key) const {
    return components_.contains(key.toLower());
}

void DirectPlay8Address::Clear() {
    components_.clear();
}

}  // namespace dx8
