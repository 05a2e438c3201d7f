#pragma once

#include <QColor>
#include <QPalette>

#include "widgets/TColor.h"

// The opaque colour a value stands for: explicit values directly, system
// colours from `palette` (an unknown index gives black).
QColor ResolveColor(TColor color, const QPalette& palette);

// The explicit colour value of an RGB colour (alpha dropped).
TColor ColorToTColor(QColor color);
