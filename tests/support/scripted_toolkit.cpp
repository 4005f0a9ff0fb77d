#include "tests/support/scripted_toolkit.h"

#include "base/app_title.h"

namespace quillon {
namespace {

std::string Take(std::deque<std::string>& answers) {
  if (answers.empty()) return {};
  std::string answer = std::move(answers.front());
  answers.pop_front();
  return answer;
}

const std::string& TitleOrApplication(const std::string& title) {
  return title.empty() ? ApplicationTitle() : title;
}

}  // namespace

MessageAnswer ScriptedToolkit::DoShowMessage(const std::string& text, MessageButtons buttons,
                                             MessageIcon icon, const std::string& title) {
  Shown s;
  s.kind = Kind::kMessage;
  s.text = text;
  s.title = TitleOrApplication(title);
  s.buttons = buttons;
  s.icon = icon;
  shown.push_back(std::move(s));
  if (on_message) on_message(shown.back());
  if (!message_answers.empty()) {
    const MessageAnswer answer = message_answers.front();
    message_answers.pop_front();
    return answer;
  }
  return buttons == MessageButtons::kOk ? MessageAnswer::kOk : MessageAnswer::kNo;
}

std::string ScriptedToolkit::DoPrompt(const std::string& prompt, const std::string& title,
                                      const std::string& preset) {
  Shown s;
  s.kind = Kind::kPrompt;
  s.text = prompt;
  s.title = TitleOrApplication(title);
  s.preset = preset;
  shown.push_back(std::move(s));
  return Take(prompt_answers);
}

std::string ScriptedToolkit::ShowDialog(Kind kind, const FileDialogRequest& request) {
  Shown s;
  s.kind = kind;
  s.text = request.title;
  s.title = request.title;
  s.preset = request.file_name;
  s.dialog = request;
  shown.push_back(std::move(s));
  return Take(dialog_answers);
}

std::string ScriptedToolkit::ShowOpenDialog(const FileDialogRequest& request) {
  return ShowDialog(Kind::kOpenDialog, request);
}

std::string ScriptedToolkit::ShowSaveDialog(const FileDialogRequest& request) {
  return ShowDialog(Kind::kSaveDialog, request);
}

std::string ScriptedToolkit::BrowseForFolder(const std::string& prompt, const std::string& start_folder) {
  Shown s;
  s.kind = Kind::kFolderBrowser;
  s.text = prompt;
  s.preset = start_folder;
  shown.push_back(std::move(s));
  return Take(folder_answers);
}

bool ScriptedToolkit::Yield() {
  ++yields;
  if (on_yield) on_yield(yields);
  return true;
}

std::vector<ScriptedToolkit::Shown> ScriptedToolkit::messages() const {
  std::vector<Shown> result;
  for (const Shown& s : shown) {
    if (s.kind == Kind::kMessage) result.push_back(s);
  }
  return result;
}

std::vector<std::string> ScriptedToolkit::error_reports() const {
  std::vector<std::string> result;
  for (const Shown& s : shown) {
    if (s.kind == Kind::kMessage && s.icon == MessageIcon::kWarning) result.push_back(s.text);
  }
  return result;
}

}  // namespace quillon
