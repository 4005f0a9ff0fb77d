#include "data/database/connection_string.h"

#include <gtest/gtest.h>

#include "data/util/error.h"

using fox::ConnectionString;
using SourceType = fox::ConnectionString::SourceType;

TEST(ConnectionStringTest, BuildFollowsTheTemplate) {
  EXPECT_EQ(
      ConnectionString::Build(SourceType::kDatabase, "C:\\data\\shop.dbc"),
      "Driver={Microsoft Visual FoxPro Driver};SourceType=DBC;SourceDB=C:\\data\\shop.dbc;Exclusive=No;");
  EXPECT_EQ(ConnectionString::Build(SourceType::kFreeTables, "/data/"),
            "Driver={Microsoft Visual FoxPro Driver};SourceType=DBF;SourceDB=/data/;Exclusive=No;");
  EXPECT_EQ(ConnectionString::Build(SourceType::kFreeTables, ""),
            "Driver={Microsoft Visual FoxPro Driver};SourceType=DBF;SourceDB=;Exclusive=No;");
}

TEST(ConnectionStringTest, ParseKeepsAwkwardLocationsWhole) {
  const std::string locations[] = {
      "/data/shop.dbc",
      "/odd;name/x.dbc",
      "/a;Exclusive=No;b/c.dbc",
      "/x;SourceDB=/y",
      "/with space/expense reports",
      "",
  };
  for (const std::string& location : locations) {
    for (SourceType type : {SourceType::kDatabase, SourceType::kFreeTables}) {
      const ConnectionString parsed = ConnectionString::Parse(ConnectionString::Build(type, location));
      EXPECT_EQ(parsed.location, location);
      EXPECT_EQ(parsed.source_type, type);
      EXPECT_FALSE(parsed.exclusive);
    }
  }
}

TEST(ConnectionStringTest, ParseIgnoresCaseOfKeysAndValues) {
  const ConnectionString parsed = ConnectionString::Parse(
      "DRIVER={microsoft visual foxpro driver};sourcetype=dbc;sourcedb=/Data/Shop.DBC;EXCLUSIVE=YES;");
  EXPECT_EQ(parsed.source_type, SourceType::kDatabase);
  EXPECT_EQ(parsed.location, "/Data/Shop.DBC");
  EXPECT_TRUE(parsed.exclusive);

  EXPECT_EQ(ConnectionString::Parse("SourceType=DBF;Driver={Microsoft Visual FoxPro Driver};SourceDB=/d;"
                                    "Exclusive=No;")
                .source_type,
            SourceType::kFreeTables);
}

TEST(ConnectionStringTest, ParseRejectsOtherForms) {
  const char* texts[] = {
      "",
      "Driver={Microsoft Visual FoxPro Driver};SourceType=XLS;SourceDB=/d;Exclusive=No;",
      "SourceType=DBF;SourceDB=/d;Exclusive=No;",
      "Driver={SQL Server};SourceType=DBF;SourceDB=/d;Exclusive=No;",
      "Driver={Microsoft Visual FoxPro Driver};SourceType=DBF;SourceDB=/d",
      "Driver={Microsoft Visual FoxPro Driver};SourceType=DBF;Exclusive=No;",
      "Driver={Microsoft Visual FoxPro Driver};SourceType=DBF;Collate=Machine;SourceDB=/d;Exclusive=No;",
  };
  for (const char* text : texts) {
    try {
      ConnectionString::Parse(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const fox::Error& e) {
      EXPECT_EQ(e.kind(), fox::ErrorKind::kUsage) << text;
      EXPECT_NE(std::string(e.what()).find("connection string"), std::string::npos) << e.what();
    }
  }
}
