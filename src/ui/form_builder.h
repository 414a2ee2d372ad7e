// SPDX-License-Identifier: GPL-3.0-or-later
// Makes the window's controls from the layout table: kind, text, limit,
// geometry, starting state and tab order, each named by its objectName.
#pragma once

class QWidget;

namespace form {

// Creates every control of the layout table inside `window`, in its frame,
// and chains the focusable ones in tab order.
void buildControls(QWidget* window);

} // namespace form
