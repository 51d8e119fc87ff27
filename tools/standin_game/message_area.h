#pragma once
// The game's message area: a last chat line and an input line, shown on screen while the area's
// 4-byte value holds kShowMessages. Text is one byte per character in Windows code page 1252.

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "layout.h"

namespace standin {

// Bytes the code page leaves undefined, and control bytes, come out as U+FFFD.
QString decodeCp1252(const QByteArray& bytes);

struct MessageArea {
    std::uint32_t value = 0;
    bool shown = false;
    QByteArray lastRaw;   // all 50 bytes
    QByteArray inputRaw;  // up to (not including) the first NUL, at most 51 bytes
    QString last;
    QString input;
};

MessageArea readMessageArea(const Edition& edition);

}  // namespace standin
