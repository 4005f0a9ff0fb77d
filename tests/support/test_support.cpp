#include "tests/support/test_support.h"

#include "data/file/utf8_path.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
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
  // Windows removes no folder while a file in it is open: a test must close
  // every table in the folder before the folder goes.
  if (ec || fs::exists(path_, ec))
    ADD_FAILURE() << "The temporary folder " << path_.string() << " could not be removed: " << ec.message();
}

static void MakeWritable(const fs::path& p) {
  std::error_code ec;
  fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
  if (fs::is_directory(p)) {
    fs::permissions(p, fs::perms::owner_exec, fs::perm_options::add, ec);
    for (const auto& entry : fs::recursive_directory_iterator(p)) {
      fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add,
                      ec);
      if (entry.is_directory())
        fs::permissions(entry.path(), fs::perms::owner_exec, fs::perm_options::add, ec);
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
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

#ifdef _WIN32

// The independent checkers are Debian's Python and Perl modules: a Windows
// build's tests run them under Wine, on the Linux side, on the files the
// Windows code wrote. ntdll's __wine_unix_spawnvp starts a Linux process;
// kernel32's wine_get_unix_file_name gives a file's Linux path.
namespace {

using WineSpawn = LONG(WINAPI*)(char* const argv[], int wait);
using WineUnixName = char*(CDECL*)(LPCWSTR dos);

struct Wine {
  WineSpawn spawn = nullptr;
  WineUnixName unix_name = nullptr;
};

const Wine& TheWine() {
  static const Wine wine = [] {
    Wine w;
    w.spawn = reinterpret_cast<WineSpawn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    w.unix_name = reinterpret_cast<WineUnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    return w;
  }();
  return wine;
}

// An argument naming a file or folder that exists, or a file in a folder
// that exists, as its Linux path; any other argument as it is.
std::string ForLinux(const std::string& arg) {
  std::error_code ec;
  const std::filesystem::path p = fox::PathFromUtf8(arg);
  const bool names_file =
      arg.find_first_of("\\/") != std::string::npos &&
      (std::filesystem::exists(p, ec) || std::filesystem::is_directory(p.parent_path(), ec));
  if (!names_file) return arg;
  char* unix_name = TheWine().unix_name(fox::WideFromUtf8(arg).c_str());
  if (unix_name == nullptr) return arg;
  std::string result(unix_name);
  HeapFree(GetProcessHeap(), 0, unix_name);
  return result;
}

}  // namespace

static std::string RunTool(const std::string& interpreter, const std::string& script,
                           const std::vector<std::string>& args) {
  const Wine& wine = TheWine();
  if (wine.spawn == nullptr || wine.unix_name == nullptr) {
    ADD_FAILURE() << "The independent checkers (" << interpreter << " " << script
                  << ") run on Linux, or under Wine on Linux; this system has neither.";
    return "";
  }
  TempDir scratch;
  const std::string out = scratch.Sub("out.txt");
  WriteFileBytes(out, "");
  std::vector<std::string> argv = {"/bin/sh",
                                   "-c",
                                   "out=$1; shift; \"$@\" > \"$out\"",
                                   "sh",
                                   ForLinux(out),
                                   interpreter,
                                   std::string(QUILLON_TEST_TOOLS) + "/" + script};
  for (const std::string& a : args) argv.push_back(ForLinux(a));
  std::vector<char*> pointers;
  for (std::string& a : argv) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  const LONG code = wine.spawn(pointers.data(), 1);
  std::string command;
  for (size_t i = 5; i < argv.size(); ++i) command += (i > 5 ? " " : "") + Quote(argv[i]);
  const std::string output = ReadFileBytes(out);
  EXPECT_EQ(code, 0) << command << "\n" << output;
  return output;
}

#else

static std::string RunTool(const std::string& interpreter, const std::string& script,
                           const std::vector<std::string>& args) {
  std::string command = interpreter + " " + Quote(std::string(QUILLON_TEST_TOOLS) + "/" + script);
  for (const auto& a : args) command += " " + Quote(a);
  int code = 0;
  std::string out = RunCommand(command, &code);
  EXPECT_EQ(code, 0) << command << "\n" << out;
  return out;
}

#endif

std::string RunPythonTool(const std::string& script, const std::vector<std::string>& args) {
  return RunTool("/usr/bin/python3", script, args);
}

std::string RunPerlTool(const std::string& script, const std::vector<std::string>& args) {
  return RunTool("perl", script, args);
}

#ifdef _WIN32

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring q = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    q += c;
  }
  q.append(2 * backslashes, L'\\');
  return q + L"\"";
}

}  // namespace

std::string RunProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& env,
                       const std::string& error_path, int* exit_code) {
  std::wstring line = QuoteArgument(fox::WideFromUtf8(program));
  for (const std::string& a : args) line += L" " + QuoteArgument(fox::WideFromUtf8(a));
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error("cannot make a pipe");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE error = CreateFileW(fox::WideFromUtf8(error_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = error;
  // The child inherits this process's environment, with `env` set for it.
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const auto& [name, value] : env) {
    const char* old = std::getenv(name.c_str());
    saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    SetEnvironment(name, value.c_str());
  }
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  for (const auto& [name, value] : saved) SetEnvironment(name, value ? value->c_str() : nullptr);
  CloseHandle(write_end);
  CloseHandle(error);
  if (!started) {
    CloseHandle(read_end);
    throw std::runtime_error("cannot run " + program);
  }
  std::string output;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0) output.append(buffer, n);
  CloseHandle(read_end);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  if (exit_code) *exit_code = static_cast<int>(code);
  // The console's line ends: the tests compare what a Linux build prints.
  return WithLfLineEnds(output);
}

#else

std::string RunProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& env,
                       const std::string& error_path, int* exit_code) {
  std::string command;
  for (const auto& [name, value] : env) command += name + "=" + Quote(value) + " ";
  command += Quote(program);
  for (const std::string& a : args) command += " " + Quote(a);
  return RunCommand(command + " 2>" + Quote(error_path), exit_code);
}

#endif

std::string WithLfLineEnds(const std::string& text) {
  std::string lf;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
  }
  return lf;
}

void SetEnvironment(const std::string& name, const char* value) {
#ifdef _WIN32
  // An empty value removes the variable on Windows as well.
  _wputenv_s(fox::WideFromUtf8(name).c_str(), value ? fox::WideFromUtf8(value).c_str() : L"");
#else
  if (value) {
    ::setenv(name.c_str(), value, 1);
  } else {
    ::unsetenv(name.c_str());
  }
#endif
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
