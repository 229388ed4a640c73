// Small whole-file helpers over POSIX calls, reporting failures as Error values.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"

namespace tovan {

// `path` between double quotes, as failure descriptions show it.
std::string quotedPath(std::string_view path);

// "<what> \"<path>\": <OS reason for code>".
Error pathError(std::string_view what, std::string_view path, int code);

// Reads a whole file. The description names the path and the OS reason.
Result<std::string> readWholeFile(const std::string& path);

// Creates the file or replaces its content in place (no atomic rename), like a plain write.
Status writeWholeFile(const std::string& path, std::string_view bytes);

// Appends everything left to read from `fd` to `bytes`, retrying EINTR. Returns false, with
// errno set, when a read fails.
bool readAll(int fd, std::string& bytes);

// Writes all of `bytes` to `fd`, finishing short writes and retrying EINTR.
// Returns false when the descriptor refuses the data.
bool writeAll(int fd, std::string_view bytes);

// True when a file-system entry exists at `path`, following symbolic links.
bool pathExists(const std::string& path);

// Removes a file; the outcome is deliberately not reported.
void removeFileQuietly(const std::string& path);

}  // namespace tovan
