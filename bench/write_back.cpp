// bench_write_back: the physical floor of a run that changes scattered
// records and forces them to disk once at its end.
//
//   bench_write_back TABLE.dbf FIRST STEP
//
// Rewrites, in place and unchanged, records FIRST, FIRST + STEP, ... of the
// table (their bytes as they are, so that their pages are dirty), then
// forces the file to disk once. Run under bench_measure, its time is what
// the disk needs to take those records' pages: a run that changes the same
// records and flushes the table at its end cannot cost less than reading
// the table plus this.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_write_back TABLE.dbf FIRST STEP\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR);
  unsigned char header[12];
  if (fd < 0 || pread(fd, header, sizeof header, 0) != sizeof header) {
    std::perror(argv[1]);
    return 1;
  }
  const uint32_t count = header[4] | header[5] << 8 | header[6] << 16 | uint32_t{header[7]} << 24;
  const uint32_t header_length = header[8] | header[9] << 8;
  const uint32_t record_length = header[10] | header[11] << 8;
  const long first = std::atol(argv[2]), step = std::atol(argv[3]);
  std::string record(record_length, '\0');
  for (long recno = first; step > 0 && recno <= static_cast<long>(count); recno += step) {
    const off_t at = header_length + static_cast<off_t>(recno - 1) * record_length;
    if (pread(fd, record.data(), record.size(), at) != static_cast<ssize_t>(record.size()) ||
        pwrite(fd, record.data(), record.size(), at) != static_cast<ssize_t>(record.size())) {
      std::perror(argv[1]);
      return 1;
    }
  }
  if (fdatasync(fd) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  close(fd);
  return 0;
}
