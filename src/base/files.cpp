#include "base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_fd.h"

namespace tovan {

std::string quotedPath(std::string_view path) {
  std::string text = "\"";
  text += path;
  text += '"';
  return text;
}

Error pathError(std::string_view what, std::string_view path, int code) {
  std::string text(what);
  text += ' ';
  text += quotedPath(path);
  return errorFromErrno(text, code);
}

Result<std::string> readWholeFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return pathError("cannot open", path, errno);
  std::string bytes;
  if (!readAll(fd.get(), bytes)) return pathError("cannot read", path, errno);
  return bytes;
}

bool readAll(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

Status writeWholeFile(const std::string& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return pathError("cannot create", path, errno);
  if (!writeAll(fd.get(), bytes)) return pathError("cannot write", path, errno);
  return {};
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool pathExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

void removeFileQuietly(const std::string& path) { (void)::unlink(path.c_str()); }

}  // namespace tovan
