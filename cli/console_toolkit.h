// ConsoleToolkit: the toolkit of the batch command, where there is nobody to
// answer a dialog.
//
// Error reports (warning messages) go to the error stream, each followed by
// a blank line, and are counted; other messages go to the output stream.
// Every dialog is cancelled and nothing yields. Both streams are borrowed
// and must outlive the toolkit. Throws nothing of its own.
#pragma once

#include <ostream>
#include <string>

#include "base/toolkit.h"

namespace quillon {

class ConsoleToolkit : public Toolkit {
 public:
  ConsoleToolkit(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  std::string ShowOpenDialog(const FileDialogRequest&) override { return {}; }
  std::string ShowSaveDialog(const FileDialogRequest&) override { return {}; }
  std::string BrowseForFolder(const std::string&, const std::string&) override { return {}; }
  bool Yield() override { return false; }

  int reports() const { return reports_; }

 protected:
  MessageAnswer DoShowMessage(const std::string& text, MessageButtons buttons, MessageIcon icon,
                              const std::string& /*title*/) override {
    if (icon == MessageIcon::kWarning) {
      ++reports_;
      err_ << WithLineFeeds(text) << "\n\n";
      err_.flush();
    } else {
      out_ << WithLineFeeds(text) << "\n";
      out_.flush();
    }
    return buttons == MessageButtons::kOk ? MessageAnswer::kOk : MessageAnswer::kNo;
  }
  std::string DoPrompt(const std::string&, const std::string&, const std::string&) override { return {}; }

 private:
  static std::string WithLineFeeds(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      s += text[i];
    }
    return s;
  }

  std::ostream& out_;
  std::ostream& err_;
  int reports_ = 0;
};

}  // namespace quillon
