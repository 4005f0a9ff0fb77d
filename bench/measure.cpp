// bench_measure: runs a command and reports its wall-clock time and peak memory.
//
//   bench_measure RESULT_FILE COMMAND [ARG]...
//
// Runs COMMAND with the given arguments (standard input, output and error are
// inherited), waits for it with wait4() and writes one line to RESULT_FILE:
//
//   SECONDS MAX_RSS_KB EXIT_CODE WRITTEN_BYTES
//
// SECONDS is the wall-clock time from fork to the end of the wait (steady clock,
// nanosecond resolution, printed with 6 decimals); MAX_RSS_KB is the child's
// ru_maxrss; EXIT_CODE is the command's exit status, or 128 + the signal number
// when it was killed; WRITTEN_BYTES is what the child sent to the storage
// layer (ru_oublock, counted in 512-byte units when pages are dirtied: the
// figure /proc/PID/io calls write_bytes). bench_measure itself exits with the
// command's exit code.

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_measure RESULT_FILE COMMAND [ARG]...\n");
    return 2;
  }
  const char* resultPath = argv[1];
  auto started = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child < 0) {
    std::perror("bench_measure: fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "bench_measure: cannot run %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("bench_measure: wait4");
      return 2;
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::FILE* out = std::fopen(resultPath, "w");
  if (!out) {
    std::perror("bench_measure: result file");
    return 2;
  }
  std::fprintf(out, "%.6f %ld %d %lld\n", seconds, usage.ru_maxrss, code,
               static_cast<long long>(usage.ru_oublock) * 512);
  std::fclose(out);
  return code;
}
