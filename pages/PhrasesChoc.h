#pragma once

#include <QStringList>

// The catch phrases shown while the firmware is written; never empty.
const QStringList& phrasesChoc();
