#include "shell/error_report.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "data/error.h"

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

  EXPECT_EQ(ran, (std::vector<int>{100, 102, 104}));
  EXPECT_TRUE(trap.failed());
  EXPECT_EQ(trap.failures(), 1);
  EXPECT_EQ(trap.last_failed_line(), 102);
  ASSERT_EQ(sink.reports.size(), 1u);
  EXPECT_EQ(sink.reports[0].text,
            "The table orders does not exist.\r\n"
            "in Brenlow2021/08/31.FoxPro.IsValidFoxProConnection at line 102\r\n\r\n"
            "Please email screenshot of this message to support@quillon-app.com");
}

TEST(ErrorTrapTest, EachFailureIsReportedWithItsOwnLine) {
  RecordingErrorSink sink;
  ErrorTrap trap(sink, "Form1", "Form_Load");
  trap.Step(100, [] { throw std::runtime_error("first"); });
  trap.Step(102, [] {});
  trap.Step(104, [] { throw 42; });
  ASSERT_EQ(sink.reports.size(), 2u);
  EXPECT_EQ(sink.reports[0].text.substr(0, sink.reports[0].text.find("\r\n\r\n")),
            "first\r\nin Brenlow2021/08/31.Form1.Form_Load at line 100");
  // Something that is not a std::exception still gets a description.
  EXPECT_EQ(sink.reports[1].text.substr(0, sink.reports[1].text.find("\r\n\r\n")),
            std::string(quillon::kUnknownErrorDescription) +
                "\r\nin Brenlow2021/08/31.Form1.Form_Load at line 104");
  EXPECT_EQ(trap.failures(), 2);
  EXPECT_EQ(trap.last_failed_line(), 104);
}
