// A toolkit without windows for tests: it answers every box, prompt and
// dialog from queues filled beforehand and records everything it was asked to
// show, so that a test can assert each message exactly as the user would see
// it. Yield runs an optional callback, through which a test acts "during" a
// run (types into a box, closes the program, changes a table on disk).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "base/toolkit.h"

namespace quillon {

class ScriptedToolkit : public Toolkit {
 public:
  enum class Kind { kMessage, kPrompt, kOpenDialog, kSaveDialog, kFolderBrowser };

  // One thing shown. `title` is the caption as shown (the application title
  // when the caller gave none).
  struct Shown {
    Kind kind = Kind::kMessage;
    std::string text;  // message text, prompt, dialog title or browser prompt
    std::string title;
    MessageButtons buttons = MessageButtons::kOk;
    MessageIcon icon = MessageIcon::kNone;
    std::string preset;  // prompt preset, dialog file name, browser start folder
    FileDialogRequest dialog;
  };

  std::string ShowOpenDialog(const FileDialogRequest& request) override;
  std::string ShowSaveDialog(const FileDialogRequest& request) override;
  std::string BrowseForFolder(const std::string& prompt, const std::string& start_folder) override;
  bool Yield() override;

  // Messages shown, in order (error reports included).
  std::vector<Shown> messages() const;
  // Texts of the messages shown with the warning icon (the error reports).
  std::vector<std::string> error_reports() const;

  std::vector<Shown> shown;
  // Answers, taken from the front. When a queue is empty: OK for an OK box,
  // No for a Yes/No box (the answer that changes nothing), "" (cancel) for
  // prompts, dialogs and the browser.
  std::deque<MessageAnswer> message_answers;
  std::deque<std::string> prompt_answers;
  std::deque<std::string> dialog_answers;
  std::deque<std::string> folder_answers;

  // Called with each message as it is shown, before it is answered.
  std::function<void(const Shown&)> on_message;
  // Called by every Yield with the number of yields so far (1 for the first).
  std::function<void(long)> on_yield;
  long yields = 0;

 protected:
  MessageAnswer DoShowMessage(const std::string& text, MessageButtons buttons, MessageIcon icon,
                              const std::string& title) override;
  std::string DoPrompt(const std::string& prompt, const std::string& title,
                       const std::string& preset) override;

 private:
  // Records an open or save dialog and takes its answer.
  std::string ShowDialog(Kind kind, const FileDialogRequest& request);
};

}  // namespace quillon
