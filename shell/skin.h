// The optional skin: a Qt style sheet in the file x/o.cjs beside the program.
// A program folder without that file runs unskinned.
#pragma once

#include <QString>
#include <string>

#include "base/system.h"

class QWidget;

namespace quillon {

// The skin component of the data source window: holds the loaded style sheet
// and puts it on windows.
class Skin {
 public:
  // Reads the style sheet in the UTF-8 text file `path`. Throws
  // quillon::Error naming the file when it cannot be read.
  void LoadSkin(const std::string& path);

  // Whether windows opened later (the other windows, message boxes, prompts
  // and file dialogs) take the skin too, as well as the window it is applied
  // to. Off until set.
  void set_apply_to_new_windows(bool on) { apply_to_new_windows_ = on; }
  bool apply_to_new_windows() const { return apply_to_new_windows_; }

  // Puts the loaded style sheet on `window` (and, with apply_to_new_windows,
  // on the whole application). Throws std::logic_error when nothing was
  // loaded.
  void ApplyWindow(QWidget& window);

  bool loaded() const { return loaded_; }
  const QString& style_sheet() const { return style_sheet_; }

 private:
  QString style_sheet_;
  bool loaded_ = false;
  bool apply_to_new_windows_ = false;
};

// Skins the data source window, once at start. When the skin file
// (`program_folder` followed by x/o.cjs) is not found as a visible plain file,
// does nothing and returns false. Otherwise runs the colour step on `window`,
// loads the style sheet into `skin`, sets it to skin later windows too and
// applies it to `window`, and returns true. A failing step throws and skips
// the steps after it; the caller's error trap reports it.
bool ApplySkin(QWidget& window, Skin& skin, const std::string& program_folder);

}  // namespace quillon
