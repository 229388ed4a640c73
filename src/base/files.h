// Small file helpers over POSIX calls, reporting failures as Error values.
//
// Nothing here blocks on a file that waits for a peer: every open is non-blocking and checks
// the kind of file it found, so a FIFO or a device where a file is meant fails at once. Files
// that must survive a crash are written whole to a temporary name, synced, renamed into place
// and their directory synced.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/result.h"
#include "base/unique_fd.h"

namespace tovan {

// `path` between double quotes, as failure descriptions show it.
std::string quotedPath(std::string_view path);

// "<what> \"<path>\": <OS reason for code>".
Error pathError(std::string_view what, std::string_view path, int code);

// What an open accepts at the path.
enum class FileKind {
  regular,               // a regular file
  regularOrBlockDevice,  // a disk image: a regular file or a block device
};

// Opens `path` with `flags` (O_CLOEXEC and O_NONBLOCK are added; O_CREAT uses `mode`) without
// ever waiting, and checks that it is of `kind`. The descriptor is returned in blocking mode.
// Fails with "cannot open \"<path>\": <reason>" ("cannot create" with O_CREAT), the reason "not a
// regular file" (or "not a regular file or block device") when something else is there.
Result<UniqueFd> openFile(const std::string& path, int flags, FileKind kind = FileKind::regular,
                          mode_t mode = 0644);

// Reads a whole regular file. The description names the path and the OS reason.
Result<std::string> readWholeFile(const std::string& path);

// Whether an existing file may be replaced when the new one is moved into place.
enum class Replace { allowed, never };

// Writes `bytes` to a temporary file beside `path`, syncs it, moves it to `path` and syncs the
// directory, so that `path` holds either its old content or all of the new, whatever happens.
// With Replace::never an entry that appeared at `path` in the meantime is left alone and the
// write fails (EEXIST). The temporary file is removed on failure.
Status writeFileDurably(const std::string& path, std::string_view bytes, Replace replace);

// Moves `from` to `to` (same file system). With Replace::never fails with EEXIST rather than
// replacing an existing `to`. Does not sync.
Status moveFile(const std::string& from, const std::string& to, Replace replace);

// Flushes a file's data and metadata to stable storage (F_FULLFSYNC on macOS, where fsync stops
// at the drive's cache). `path` only names the file in the failure.
Status syncFile(int fd, std::string_view path);

// Syncs the directory that holds `path`, so that a rename or unlink in it survives a crash.
Status syncDirectoryOf(const std::string& path);

// The directory part of `path`: "." for a bare name, "/" for a name in the root.
std::string directoryOf(const std::string& path);

// Appends everything left to read from `fd` to `bytes`, retrying EINTR and waiting out EAGAIN
// on a non-blocking descriptor. Returns false, with errno set, when a read fails.
bool readAll(int fd, std::string& bytes);

// Writes all of `bytes` to `fd`, finishing short writes, retrying EINTR and waiting out EAGAIN
// on a non-blocking descriptor. Returns false when the descriptor refuses the data.
bool writeAll(int fd, std::string_view bytes);

// True when a file-system entry exists at `path`, following symbolic links.
bool pathExists(const std::string& path);

// Removes a file; the outcome is deliberately not reported.
void removeFileQuietly(const std::string& path);

}  // namespace tovan
