#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace testing_support {

std::string Fixture(const std::string& relative) {
  return (fs::path(QUILLON_FIXTURES) / relative).lexically_normal().string();
}

TempDir::TempDir() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("quillon-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

static void MakeWritable(const fs::path& p) {
  std::error_code ec;
  fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
  if (fs::is_directory(p)) {
    fs::permissions(p, fs::perms::owner_exec, fs::perm_options::add, ec);
    for (const auto& entry : fs::recursive_directory_iterator(p)) {
      fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::owner_write,
                      fs::perm_options::add, ec);
      if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::owner_exec, fs::perm_options::add, ec);
    }
  }
}

std::string CopyFixtures(const TempDir& dir, const std::vector<std::string>& relatives) {
  std::string first;
  for (const auto& rel : relatives) {
    fs::path source = Fixture(rel);
    fs::path target = dir.path() / source.filename();
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    MakeWritable(target);
    if (first.empty()) first = target.string();
  }
  return first;
}

std::string CopyFixtureFolder(const TempDir& dir, const std::string& relative) {
  fs::path source = Fixture(relative);
  fs::path target = dir.path() / source.filename();
  fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  MakeWritable(target);
  return target.string();
}

std::string RunCommand(const std::string& command, int* exit_code) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run: " + command);
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  int status = pclose(pipe);
#ifdef _WIN32
  int code = status;  // _pclose gives the command's exit status itself
#else
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  if (exit_code) *exit_code = code;
  return output;
}

static std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

static std::string RunTool(const std::string& interpreter, const std::string& script,
                           const std::vector<std::string>& args) {
  std::string command = interpreter + " " + Quote(std::string(QUILLON_TEST_TOOLS) + "/" + script);
  for (const auto& a : args) command += " " + Quote(a);
  int code = 0;
  std::string out = RunCommand(command, &code);
  EXPECT_EQ(code, 0) << command << "\n" << out;
  return out;
}

std::string RunPythonTool(const std::string& script, const std::vector<std::string>& args) {
  return RunTool("/usr/bin/python3", script, args);
}

std::string RunPerlTool(const std::string& script, const std::vector<std::string>& args) {
  return RunTool("perl", script, args);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace testing_support
