#pragma once

#include <QLoggingCategory>

// Diagnostics of the game link; off unless QT_LOGGING_RULES turns "orvel.game" on.
Q_DECLARE_LOGGING_CATEGORY(lcGame)
