// quillon-replace: see cli/batch_command.h.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "base/system.h"
#include "cli/batch_command.h"

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
  const std::vector<std::string> args = quillon::ProgramArguments(argc, argv);
  return quillon::RunBatchCommand(args, std::cout, std::cerr, &g_stop_requested);
}
