// The statements of the replacement run (Form2.PushButton1_Click) as its
// error reports number them. The numbers are the reports' and never change;
// the code names them.
#pragma once

namespace quillon {

enum class RunStep {
  kCheckFindText = 100,    // check for an empty find text; open the change log and journal (first change)
  kBusyPointer = 102,      // busy pointer
  kCountTables = 104,      // count the table list's rows
  kReadTick = 106,         // read a row's tick
  kOpenConnection = 108,   // open the connection (and read the data source)
  kReadTableName = 110,    // read the table name
  kOpenRecordset = 112,    // open the recordset; what the table was changed without
  kTestEmpty = 114,        // test for an empty table
  kCountFields = 116,      // count the fields; judge the columns
  kTestLast = 118,         // test for the last record
  kYield = 120,            // yield
  kReadTab = 122,          // read the selected tab
  kReadPair = 124,         // read the single pair
  kCountSets = 126,        // count the set list's rows
  kReadSet = 128,          // read a set
  kSearchField = 130,      // read and search the field
  kWriteLine = 132,        // write the change log line (and the journal)
  kReplace = 134,          // replace and trim; give a field back its value
  kAssign = 136,           // assign the new text; check it against the rules
  kMoveOn = 138,           // move on (saves the record); carry out cascades
  kCloseRecordset = 140,   // close the recordset
  kCloseConnection = 142,  // close the connection
  kDefaultPointer = 144,   // default pointer
  kDone = 146,             // "Done."
};

}  // namespace quillon
