// The toolkit over Qt Widgets: QMessageBox, QInputDialog, QFileDialog and the
// event loop. Every box and dialog is modal to the window that is active when
// it opens, which is the window whose handler asks for it.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include "base/toolkit.h"

class QWidget;

namespace quillon {

class QtToolkit : public Toolkit {
 public:
  // Yield processes events at most once per this many milliseconds: often
  // enough for the window to repaint and answer clicks and keys, rarely
  // enough that a run over a large table spends its time on the table.
  static constexpr int kYieldIntervalMs = 20;

  std::string ShowOpenDialog(const FileDialogRequest& request) override;
  std::string ShowSaveDialog(const FileDialogRequest& request) override;
  std::string BrowseForFolder(const std::string& prompt, const std::string& start_folder) override;
  bool Yield() override;
  // In the user's locale: "12,000" (or "12.000", ...).
  std::string FormatCount(int64_t n) const override;

  // The Qt name filter list ("Text Files (*.txt);;All Files (*)") for a
  // filter of description|pattern pairs. "*.*" becomes "*" so that files
  // without an extension show too, as they do on Windows.
  static QString NameFilters(const std::string& filter);

 protected:
  MessageAnswer DoShowMessage(const std::string& text, MessageButtons buttons, MessageIcon icon,
                              const std::string& title) override;
  std::string DoPrompt(const std::string& prompt, const std::string& title,
                       const std::string& preset) override;

 private:
  QElapsedTimer since_last_pass_;
};

}  // namespace quillon
