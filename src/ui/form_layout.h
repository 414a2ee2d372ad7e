// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's controls: kind, caption or default text, input limit,
// starting state, geometry in twips and tab index, one row per control.
#pragma once

#include <array>

namespace form {

enum class Kind { Frame, Label, TextBox, Option, Button };

struct ControlRow {
    const char* name; // the control's objectName
    Kind kind;
    const char* container; // the frame it stands in; nullptr: the window
    const char* text; // caption or default text
    int limit; // most characters a user can type; 0: no limit
    bool enabled;
    bool selected; // option buttons only
    int left, top, width, height; // twips, from the container's corner
    int tabIndex;
};

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidth = 6750; // twips
inline constexpr int kClientHeight = 7290; // twips
inline constexpr char kTitle[] = "Vexa Test";
// Address of the bundled module simulator, so a first Connect works.
inline constexpr char kDefaultAddress[] = "127.0.0.1";

constexpr int pixels(int twips)
{
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

// Frames come first, so every control's container exists when it is made.
extern const std::array<ControlRow, 59> kControls;

// Names by which screen readers and UI automation find the text boxes: the
// label's words, with the group they belong to where labels repeat. Buttons,
// options and frames are found by their captions.
struct AccessibleName {
    const char* control;
    const char* name;
};
extern const std::array<AccessibleName, 23> kAccessibleNames;

} // namespace form
