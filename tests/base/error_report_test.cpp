#include "base/error_report.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "data/util/error.h"

using quillon::ErrorTrap;
using quillon::RecordingErrorSink;

TEST(ErrorReportTest, ReportTextAndTitle) {
  RecordingErrorSink sink;
  quillon::ErrorReport(sink, "Access denied", "Form2", "PushButton1_Click", 104);
  ASSERT_EQ(sink.reports.size(), 1u);
  EXPECT_EQ(sink.reports[0].title, "Application Error");
  EXPECT_EQ(sink.reports[0].text,
            "Access denied\r\nin Brenlow2021/08/31.Form2.PushButton1_Click at line 104\r\n\r\n"
            "Please email screenshot of this message to support@quillon-app.com");
}

TEST(ErrorTrapTest, GoesOnAfterAFailingStatementAndNamesIt) {
  RecordingErrorSink sink;
  ErrorTrap trap(sink, "FoxPro", "IsValidFoxProConnection");
  std::vector<int> ran;

  EXPECT_TRUE(trap.Step(100, [&] { ran.push_back(100); }));
  EXPECT_FALSE(trap.failed());
  EXPECT_FALSE(trap.Step(102, [&] {
    ran.push_back(102);
    throw fox::Error(fox::ErrorKind::kNotFound, "The table orders does not exist.");
  }));
  EXPECT_TRUE(trap.Step(104, [&] { ran.push_back(104); }));
  // Something that is not a std::exception still gets a description.
  EXPECT_FALSE(trap.Step(106, [] { throw 42; }));

  EXPECT_EQ(ran, (std::vector<int>{100, 102, 104}));
  EXPECT_EQ(trap.failures(), 2);
  EXPECT_EQ(trap.last_failed_line(), 106);
  ASSERT_EQ(sink.reports.size(), 2u);
  EXPECT_EQ(sink.reports[0].text,
            "The table orders does not exist.\r\n"
            "in Brenlow2021/08/31.FoxPro.IsValidFoxProConnection at line 102\r\n\r\n"
            "Please email screenshot of this message to support@quillon-app.com");
  EXPECT_EQ(sink.reports[1].text.substr(0, sink.reports[1].text.find("\r\n\r\n")),
            std::string(quillon::kUnknownErrorDescription) +
                "\r\nin Brenlow2021/08/31.FoxPro.IsValidFoxProConnection at line 106");
}
