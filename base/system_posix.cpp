// The program's base on Linux and other POSIX systems (see system.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file_helpers.h"
#include "base/system.h"
#include "base/text_encoding.h"

namespace quillon {

std::string ProgramFile() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      throw Error(ErrorKind::kIo,
                  std::string("The program's own path is not available: ") + std::strerror(errno));
    }
    if (static_cast<size_t>(length) < buffer.size()) return buffer.substr(0, static_cast<size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

bool IsVisiblePlainFile(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const size_t slash = path.find_last_of('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return name < path.size() && path[name] != '.';
}

std::vector<std::string> ProgramArguments(int argc, char* argv[]) { return {argv + 1, argv + argc}; }

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".quillon-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd == -1) throw Error(ErrorKind::kIo, std::strerror(errno));
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  // The file keeps its permissions; a new one gets those a new file gets
  // (mkstemp makes it readable by its owner only).
  struct stat old {};
  mode_t mode;
  if (::stat(path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    throw Error(ErrorKind::kIo, std::strerror(error));
  }
  // The rename itself is made durable with the folder.
  std::string folder = path;
  while (!folder.empty() && folder.back() != '/') folder.pop_back();
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir != -1) {
    ::fsync(dir);
    ::close(dir);
  }
}

std::string SystemToUtf8(std::string_view bytes) { return ValidUtf8(bytes); }

bool Utf8ToSystem(std::string_view utf8, std::string* out) {
  out->assign(utf8);
  return true;
}

}  // namespace quillon
