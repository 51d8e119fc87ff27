#pragma once

// What a player can make of a failure: a sentence or two on what happened and what to try
// next, shown under the box's own text.

#include <QString>

#include "platform/dx8/dx8_types.h"

namespace orvel {

// For a failed search, join, or a session that ended.
QString adviceFor(dx8::HRESULT code);

// For a session that could not be hosted: why (code and the platform's own words) and, when
// no port was free, which ones were tried (firstPort and on).
QString hostingAdvice(dx8::HRESULT code, const QString& reason, int firstPort);

// For a start that failed before the connection wizard could open.
QString startupAdvice();

}  // namespace orvel
