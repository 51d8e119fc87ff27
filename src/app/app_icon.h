#pragma once

// Orvel's icon for its windows (the desktop's docks and task switchers show it): the picture of
// data/org.orvel.Orvel.svg, drawn at each size so that no image plugin is needed.

#include <QIcon>

namespace orvel {

QIcon appIcon();

}  // namespace orvel
