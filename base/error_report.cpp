#include "base/error_report.h"

#include <stdexcept>

namespace quillon {

std::string ErrorReportText(const std::string& description, const std::string& module,
                            const std::string& procedure, int line) {
  return description + "\r\n" + "in Brenlow2021/08/31." + module + "." + procedure + " " + "at line " +
         std::to_string(line) + "\r\n\r\n" + "Please email screenshot of this message to " + kSupportEmail;
}

void ErrorReport(ErrorSink& sink, const std::string& description, const std::string& module,
                 const std::string& procedure, int line) {
  sink.ShowErrorReport(kErrorReportTitle, ErrorReportText(description, module, procedure, line));
}

std::string DescribeException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return kUnknownErrorDescription;
  }
}

void ErrorTrap::Report(int line, std::exception_ptr error) {
  ++failures_;
  last_failed_line_ = line;
  ErrorReport(sink_, DescribeException(error), module_, procedure_, line);
}

}  // namespace quillon
