// The uniform error trap of the event handlers and of the FoxPro module.
//
// A handler is written as numbered statements (100, 102, 104, ...). When a
// statement throws, one error report naming the module, the procedure and the
// statement's number is shown, and the handler goes on with the next
// statement:
//
//   ErrorTrap trap(sink, "FoxPro", "IsValidFoxProConnection");
//   trap.Step(100, [&] { names = ListFiles(folder, "*.dbf"); });
//   if (trap.failed()) return false;   // a loop must not repeat the report
//   trap.Step(102, [&] { ... });
//
// The numbers are the report's and must stay as they are, but code names
// them: each procedure declares its statements once, in an enum of its own,
// and passes the names:
//
//   enum class IsValidFoxProConnectionStep { kListTables = 100, kOpenFirst = 102 };
//   trap.Step(IsValidFoxProConnectionStep::kListTables, [&] { ... });
//
// The report is shown through an ErrorSink, so that the window toolkit shows
// it as a message box and tests can record it.
#pragma once

#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quillon {

inline constexpr char kErrorReportTitle[] = "Application Error";
inline constexpr char kSupportEmail[] = "support@quillon-app.com";
// Description used when a statement throws something that is not a
// std::exception.
inline constexpr char kUnknownErrorDescription[] = "Unknown error";

// Where error reports go. The toolkit layer shows a message box with the
// warning icon and an OK button, and returns when the user has closed it.
class ErrorSink {
 public:
  virtual ~ErrorSink() = default;
  virtual void ShowErrorReport(const std::string& title, const std::string& text) = 0;
};

// Keeps every report shown, in order; for tests and for runs without windows.
class RecordingErrorSink : public ErrorSink {
 public:
  struct Report {
    std::string title;
    std::string text;
  };
  void ShowErrorReport(const std::string& title, const std::string& text) override {
    reports.push_back({title, text});
  }
  std::vector<Report> reports;
};

// The text of a report: the description, then where it happened and whom to
// tell, e.g.
//   "Access denied\r\nin Brenlow2021/08/31.Form2.PushButton1_Click at line 104\r\n\r\n
//    Please email screenshot of this message to support@quillon-app.com"
std::string ErrorReportText(const std::string& description, const std::string& module,
                            const std::string& procedure, int line);

// Shows one report through `sink` with the title kErrorReportTitle.
void ErrorReport(ErrorSink& sink, const std::string& description, const std::string& module,
                 const std::string& procedure, int line);

// The description of a caught exception: what() for a std::exception,
// kUnknownErrorDescription otherwise.
std::string DescribeException(std::exception_ptr error);

class ErrorTrap {
 public:
  ErrorTrap(ErrorSink& sink, std::string module, std::string procedure)
      : sink_(sink), module_(std::move(module)), procedure_(std::move(procedure)) {}
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Runs statement number `line`. Returns true when it completed; when it
  // threw, shows one report naming `line` and returns false.
  template <typename Statement>
  bool Step(int line, Statement&& statement) {
    try {
      std::forward<Statement>(statement)();
      return true;
    } catch (...) {
      Report(line, std::current_exception());
      return false;
    }
  }

  // Runs the statement named `line` (an enumerator of its procedure's
  // statements, whose value is the number the report shows).
  template <typename Line, typename Statement>
  requires std::is_enum_v<Line>
  bool Step(Line line, Statement&& statement) {
    return Step(static_cast<int>(line), std::forward<Statement>(statement));
  }

  // Whether any statement of this trap has failed so far.
  bool failed() const { return failures_ > 0; }
  int failures() const { return failures_; }
  // Number of the statement that failed last; 0 when none has.
  int last_failed_line() const { return last_failed_line_; }

  const std::string& module() const { return module_; }
  const std::string& procedure() const { return procedure_; }

 private:
  void Report(int line, std::exception_ptr error);

  ErrorSink& sink_;
  std::string module_;
  std::string procedure_;
  int failures_ = 0;
  int last_failed_line_ = 0;
};

}  // namespace quillon
