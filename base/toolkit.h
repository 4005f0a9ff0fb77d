// The window toolkit as the rest of the program sees it: message boxes, the
// one-line prompt, the open and save file dialogs, the folder browser and the
// event yield. Windows and the replacement run call only these operations, so
// the Qt implementation can be swapped for a scripted one in tests and for a
// console one in the batch command.
//
// Every operation that shows something is modal: it returns when the user has
// answered. Texts are UTF-8; paths are narrow strings in the platform's native
// form, like every other path of the program.
#pragma once

#include <cstdint>
#include <string>

#include "base/error_report.h"

namespace quillon {

enum class MessageButtons { kOk, kYesNo };
enum class MessageIcon { kNone, kWarning };
enum class MessageAnswer { kOk, kYes, kNo };

// What a file dialog is asked to show.
struct FileDialogRequest {
  std::string file_name;  // preset file name, may be empty
  std::string title;
  // Pairs of description and pattern separated by vertical bars, with an
  // optional bar at the end: "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|".
  // A pattern may list several wildcards separated by ";".
  std::string filter;
  // The common file dialog's flags (OFN_*); implementations map them to the
  // nearest equivalents they have.
  unsigned flags = 0;
};

class Toolkit : public ErrorSink {
 public:
  ~Toolkit() override = default;

  // Shows `text` in a message box and returns the button pressed. An empty
  // `title` shows the application title.
  MessageAnswer ShowMessage(const std::string& text, MessageButtons buttons = MessageButtons::kOk,
                            MessageIcon icon = MessageIcon::kNone, const std::string& title = "") {
    return DoShowMessage(text, buttons, icon, title);
  }

  // Asks for one line of text under `prompt`, starting from `preset`. Returns
  // the typed text, or "" when the user cancels. An empty `title` shows the
  // application title.
  std::string Prompt(const std::string& prompt, const std::string& title = "",
                     const std::string& preset = "") {
    return DoPrompt(prompt, title, preset);
  }

  // File dialogs for opening and saving: the chosen path, or "" when the user
  // cancels. The save dialog does not ask before overwriting; callers that
  // must ask do so themselves.
  virtual std::string ShowOpenDialog(const FileDialogRequest& request) = 0;
  virtual std::string ShowSaveDialog(const FileDialogRequest& request) = 0;

  // Lets the user pick a folder, showing `prompt` and opening on
  // `start_folder` when it is not empty. Returns the folder's full path, or ""
  // when the user cancels.
  virtual std::string BrowseForFolder(const std::string& prompt, const std::string& start_folder) = 0;

  // Lets the windows process pending input and repainting, then returns
  // whether it did so: the inputs of a run can only change while events are
  // processed. Called once per field by the replacement run, so it must be
  // cheap when there is nothing to do.
  virtual bool Yield() = 0;

  // A count as the user reads it in messages and status texts: grouped by
  // the thousands separator of the user's locale in the windows; plain
  // digits here, as the batch command prints them for scripts too.
  virtual std::string FormatCount(int64_t n) const { return std::to_string(n); }
  // FormatCount(n) and the word for it: "1 change", "12,000 changes".
  std::string Counted(int64_t n, const char* one, const char* many) const {
    return FormatCount(n) + " " + (n == 1 ? one : many);
  }

  // Error reports are message boxes with the warning icon and an OK button.
  void ShowErrorReport(const std::string& title, const std::string& text) override {
    ShowMessage(text, MessageButtons::kOk, MessageIcon::kWarning, title);
  }

 protected:
  // What implementations provide for ShowMessage and Prompt (which carry the
  // default arguments, so that every caller gets the same ones).
  virtual MessageAnswer DoShowMessage(const std::string& text, MessageButtons buttons, MessageIcon icon,
                                      const std::string& title) = 0;
  virtual std::string DoPrompt(const std::string& prompt, const std::string& title,
                               const std::string& preset) = 0;
};

}  // namespace quillon
