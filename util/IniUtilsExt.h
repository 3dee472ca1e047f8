// Storing and restoring form controls in the current ini section under their names: an edit
// box's and a combo box's text, a check box's check mark, a memo's text with every CR LF
// stored as the byte 0xFF so that it fits on one line (a lone CR or LF too: a value cannot hold a
// line break). Any other control is ignored.
#pragma once

#include "platform/Controls.h"

void SaveControl(TControl& control);
// The stored value replaces the control's content; the current content is the default.
void LoadControl(TControl& control);
