// The application title: the caption of every message box and one-line
// prompt that has no caption of its own, and of the "Done." message.
#pragma once

#include <string>

namespace quillon {

// The title used until start-up sets another one.
inline constexpr char kDefaultApplicationTitle[] = "Quillon";

// The current application title.
const std::string& ApplicationTitle();

// Replaces the application title; start-up calls it once, before any window
// shows a message.
void SetApplicationTitle(std::string title);

}  // namespace quillon
