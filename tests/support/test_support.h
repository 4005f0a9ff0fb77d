// Helpers shared by the tests: fixture paths, scratch folders, and running
// the independent readers (python3-dbfread, python3-dbf, Perl XBase).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "data/util/error.h"

namespace testing_support {

// Absolute path of a file under the read-only fixtures folder.
std::string Fixture(const std::string& relative);

// A fresh folder under the system temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string Sub(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Copies fixture files (relative to the fixtures folder) into `dir`, keeping
// their names, made writable. Returns the path of the first copy.
std::string CopyFixtures(const TempDir& dir, const std::vector<std::string>& relatives);

// Copies a whole fixture folder into `dir`/<folder name>, made writable.
std::string CopyFixtureFolder(const TempDir& dir, const std::string& relative);

// Runs a command through the shell; returns its standard output. Sets
// `exit_code` when given. Standard error goes to the test's log.
std::string RunCommand(const std::string& command, int* exit_code = nullptr);

// Runs `program` with `args` and the environment variables `env` set for it;
// returns its standard output, sets `exit_code`, and writes its standard
// error to the file `error_path`. No shell comes between: any argument
// reaches the program as it is (on Windows through the wide command line).
std::string RunProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& env,
                       const std::string& error_path, int* exit_code);

// Runs tests/tools/<script> with /usr/bin/python3 and the arguments (each
// quoted); returns its standard output and fails the test on a non-zero exit.
std::string RunPythonTool(const std::string& script, const std::vector<std::string>& args);

// Runs tests/tools/<script> with perl in the same way.
std::string RunPerlTool(const std::string& script, const std::vector<std::string>& args);

// The fox::Error a call raises; fails the test when it raises none.
template <typename F>
fox::Error ErrorOf(F&& f) {
  try {
    f();
  } catch (const fox::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was raised";
  return fox::Error(fox::ErrorKind::kUsage, "");
}

// `text` with its CR LF line ends made LF (what Windows writes as text).
std::string WithLfLineEnds(const std::string& text);

// Sets an environment variable (UTF-8) for this process; nullptr removes it.
void SetEnvironment(const std::string& name, const char* value);

// Whole contents of a file as bytes.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace testing_support
