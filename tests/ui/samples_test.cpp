// The sample tables that the build puts beside the program: Visual FoxPro
// free tables that the program lists and reads exactly as python3-dbfread
// does.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "access/foxpro_module.h"
#include "base/error_report.h"
#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string TrimEnd(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

TEST(SamplesTest, AreVisualFoxProTablesThatTheProgramListsAndReadsLikeAnIndependentReader) {
  const quillon::DataSource samples{quillon::DataSourceKind::kFreeTables, "", QUILLON_SAMPLES};
  quillon::RecordingErrorSink errors;
  std::vector<std::string> tables;
  quillon::FoxPro foxpro(samples, errors);
  EXPECT_TRUE(foxpro.IsValidFoxProConnection());
  foxpro.AddTablesToFoxproListbox(tables);
  std::sort(tables.begin(), tables.end());
  ASSERT_EQ(tables, (std::vector<std::string>{"customers", "orders", "products"}));

  // Between them: character, numeric, date, logical and memo fields.
  std::set<QJsonValue::Type> kinds;
  for (const std::string& table : tables) {
    const std::string path = std::string(QUILLON_SAMPLES) + "/" + table + ".dbf";
    const std::string header = testing_support::ReadFileBytes(path).substr(0, 32);
    EXPECT_EQ(static_cast<uint8_t>(header[0]), 0x30) << table << ": a Visual FoxPro table";
    EXPECT_EQ(static_cast<uint8_t>(header[29]), 0x03) << table << ": code page 1252";
    EXPECT_TRUE(fs::exists(std::string(QUILLON_SAMPLES) + "/" + table + ".fpt")) << table;

    const QJsonArray expected =
        QJsonDocument::fromJson(
            QByteArray::fromStdString(testing_support::RunPythonTool("read_table.py", {"dbfread", path})))
            .array();
    ASSERT_GT(expected.size(), 3) << table;

    fox::Connection connection;
    connection.Open(quillon::ConnectionStringOf(samples));
    fox::Recordset records;
    records.Open("SELECT * FROM " + table, connection, fox::kLockReadOnly);
    int row = 0;
    for (; !records.Eof(); records.MoveNext(), ++row) {
      ASSERT_LT(row, expected.size()) << table;
      const QJsonObject want = expected[row].toObject();
      ASSERT_EQ(static_cast<qsizetype>(records.fields().count()), want.size()) << table;
      for (size_t column = 0; column < records.fields().count(); ++column) {
        const fox::Field field = records.fields()[column];
        const QString name = QString::fromStdString(field.name()).toUpper();
        const QJsonValue value = want.value(name);
        const std::optional<std::string> ours = field.Value();
        ASSERT_TRUE(ours.has_value()) << table << "." << name.toStdString();
        kinds.insert(value.type());
        if (name == "SINCE" || name == "ORDERED") {
          // A date: the same day, whatever the text form.
          const QStringList ymd = value.toString().split('-');
          EXPECT_NE(ours->find(ymd[0].toStdString()), std::string::npos) << *ours;
        } else if (value.isBool()) {
          EXPECT_FALSE(ours->empty());
        } else if (name == "CREDIT" || name == "AMOUNT" || name == "PRICE" || name == "IN_STOCK" ||
                   name == "ORDER_NO") {
          EXPECT_DOUBLE_EQ(std::stod(*ours), value.toString().toDouble())
              << table << "." << name.toStdString();
        } else {
          EXPECT_EQ(TrimEnd(*ours), value.toString().toStdString()) << table << "." << name.toStdString();
        }
      }
    }
    EXPECT_EQ(row, expected.size()) << table;
  }
  EXPECT_TRUE(kinds.count(QJsonValue::Bool));
  EXPECT_TRUE(errors.reports.empty());
}

}  // namespace
