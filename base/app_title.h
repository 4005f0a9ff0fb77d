// The application title: the caption of every message box and one-line
// prompt that has no caption of its own, and of the "Done." message.
#pragma once

#include <string>

namespace quillon {

// The product name, from which start-up derives the application title.
inline constexpr char kProductName[] = "Quillon";

// The title used until start-up sets another one.
inline constexpr char kDefaultApplicationTitle[] = "Quillon";

// The longest application title, in characters.
inline constexpr int kMaxApplicationTitle = 40;

// The current application title.
const std::string& ApplicationTitle();

// Replaces the application title; start-up calls it once, before any window
// shows a message.
void SetApplicationTitle(std::string title);

// The application title for the product name `product` (UTF-8): the name
// without its last word, and without further words from its end for as long
// as it is longer than kMaxApplicationTitle characters. A last word is cut
// from the first blank before it; the blank goes with it. A name without a
// blank serves whole, cut to kMaxApplicationTitle characters if need be.
std::string TitleFromProductName(const std::string& product);

// Start-up's step: sets the application title from kProductName. Called once,
// by the data source window's load.
void SetAppTitle();

}  // namespace quillon
