#include "widgets/GaugeControl.h"

void TGaugeControl::SetColor(TColor value) {
  if (value == Color()) {
    return;
  }
  model_.SetOwnColor(value);  // an own colour no longer follows the parent
  Repaint(true);
}
