// quillon-replace: see cli/batch_command.h.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/batch_command.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "data/file/utf8_path.h"
#endif

namespace {

volatile std::sig_atomic_t g_stop_requested = 0;

// Ctrl+C (or a polite kill) asks the run to stop at the next field, so that
// no record is left half-replaced.
extern "C" void RequestStop(int) { g_stop_requested = 1; }

}  // namespace

int main(int argc, char* argv[]) {
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
#ifdef SIGXFSZ
  // Past a file-size limit a write then fails and is reported, rather than
  // the signal ending the program without a word.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  std::ios::sync_with_stdio(false);
#ifdef _WIN32
  // The arguments as UTF-8 from the wide command line: argv holds them in
  // the ANSI code page, which cannot hold every find or replace text or file
  // name. What is printed is UTF-8, and the console is told so.
  (void)argc;
  (void)argv;
  std::vector<std::string> args;
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) args.push_back(fox::Utf8FromWide(wide[i]));
    LocalFree(wide);
  }
  SetConsoleOutputCP(CP_UTF8);
#else
  std::vector<std::string> args(argv + 1, argv + argc);
#endif
  return quillon::RunBatchCommand(args, std::cout, std::cerr, &g_stop_requested);
}
