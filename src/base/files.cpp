#include "base/files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tovan {

namespace {

// Waits until `fd` is ready for `events`; used when a descriptor inherited in non-blocking mode
// has nothing to give or take right now.
void awaitReady(int fd, short events) {
  pollfd ready{fd, events, 0};
  while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
  }
}

bool isKind(const struct stat& info, FileKind kind) {
  if (S_ISREG(info.st_mode)) return true;
  return kind == FileKind::regularOrBlockDevice && S_ISBLK(info.st_mode);
}

// A name beside `path` that no other process of this helper uses.
std::string temporaryNameFor(const std::string& path) {
  return path + ".new-" + std::to_string(::getpid());
}

// Renames `from` to `to`; 0, or the errno of the failure.
int move(const std::string& from, const std::string& to, Replace replace) {
  if (replace == Replace::allowed) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
#if defined(__linux__)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
#elif defined(__APPLE__)
  if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return 0;
  if (errno != ENOTSUP) return errno;
#endif
  // A file system without an exclusive rename: link() never replaces, and the old name goes
  // once the new one exists.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  (void)::unlink(from.c_str());
  return 0;
}

}  // namespace

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

Result<UniqueFd> openFile(const std::string& path, int flags, FileKind kind, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode));
  if (!fd.valid())
    return pathError((flags & O_CREAT) ? "cannot create" : "cannot open", path, errno);
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return pathError("cannot open", path, errno);
  if (S_ISDIR(info.st_mode)) return pathError("cannot open", path, EISDIR);
  if (!isKind(info, kind)) {
    return Error{"cannot open " + quotedPath(path) +
                 (kind == FileKind::regular ? ": not a regular file"
                                            : ": not a regular file or block device")};
  }
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status >= 0) (void)::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK);
  return fd;
}

Result<std::string> readWholeFile(const std::string& path) {
  Result<UniqueFd> fd = openFile(path, O_RDONLY);
  if (!fd) return fd.error();
  std::string bytes;
  if (!readAll(fd->get(), bytes)) return pathError("cannot read", path, errno);
  return bytes;
}

Status writeFileDurably(const std::string& path, std::string_view bytes, Replace replace) {
  const std::string temporary = temporaryNameFor(path);
  removeFileQuietly(temporary);  // left by a crashed helper that had this pid
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) return pathError("cannot create", path, errno);
  Status written;
  if (!writeAll(fd.get(), bytes)) {
    written = pathError("cannot write", path, errno);
  } else if (Status synced = syncFile(fd.get(), path); !synced) {
    written = synced;
  }
  fd.reset();
  if (written) {
    if (const int code = move(temporary, path, replace); code != 0) {
      written = pathError("cannot create", path, code);
    }
  }
  if (!written) {
    removeFileQuietly(temporary);
    return written;
  }
  // The new file is complete and in place; a directory that refuses to sync changes nothing that
  // undoing the move could mend.
  (void)syncDirectoryOf(path);
  return {};
}

Status moveFile(const std::string& from, const std::string& to, Replace replace) {
  if (const int code = move(from, to, replace); code != 0) {
    return errorFromErrno("cannot move " + quotedPath(from) + " to " + quotedPath(to), code);
  }
  return {};
}

Status syncFile(int fd, std::string_view path) {
#if defined(__APPLE__)
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
#endif
  if (::fsync(fd) != 0) return pathError("cannot sync", path, errno);
  return {};
}

Status syncDirectoryOf(const std::string& path) {
  const std::string directory = directoryOf(path);
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return pathError("cannot open", directory, errno);
  return syncFile(fd.get(), directory);
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool readAll(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        awaitReady(fd, POLLIN);
        continue;
      }
      return false;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        awaitReady(fd, POLLOUT);
        continue;
      }
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
