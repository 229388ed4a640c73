// Runs a built executable through real pipes, for tests that check exact bytes and statuses.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovan::test {

struct Finished {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// How the child's standard input pipe behaves: a parent may hand its child a non-blocking one.
enum class ChildStdin { blocking, nonBlocking };

class ChildProcess {
 public:
  // Starts `argv` in `directory` (empty: the current one) with all three standard streams on
  // pipes. The child gets default signal dispositions.
  ChildProcess(const std::vector<std::string>& argv, const std::string& directory = {},
               ChildStdin stdinMode = ChildStdin::blocking);
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  void write(std::string_view bytes);
  void closeStdin();

  // The next whole line of standard output without its line feed; absent once the child has
  // closed it. `patience` only keeps a broken test from hanging; no test relies on it.
  std::optional<std::string> readLine(std::chrono::seconds patience = std::chrono::seconds(180));

  // Reads both outputs to their end and reaps the child.
  Finished finish(std::chrono::seconds patience = std::chrono::seconds(180));

  // Standard error as read so far.
  const std::string& errSoFar() const { return err_; }

 private:
  bool pump(std::chrono::steady_clock::time_point deadline);  // false when both outputs ended

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int errFd_ = -1;
  std::string outBuffer_;
  std::string err_;
  bool reaped_ = false;
  int status_ = -1;
};

// Runs to the end with `input` on standard input (then closed).
Finished runProcess(const std::vector<std::string>& argv, std::string_view input = {},
                    const std::string& directory = {});

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

std::string readFileOrEmpty(const std::string& path);
void writeFile(const std::string& path, std::string_view bytes);
bool fileExists(const std::string& path);

}  // namespace tovan::test
