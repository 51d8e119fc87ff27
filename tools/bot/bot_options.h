#pragma once

// orvel-bot's command line: what --help says of it, and its options.

#include <QCommandLineParser>

#include "common/command_line.h"

namespace orvel::bot {

cli::Program program();
void addOptions(QCommandLineParser& parser);

}  // namespace orvel::bot
