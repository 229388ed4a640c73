// Runs a built executable as its parent would, for tests that check exact bytes and statuses;
// and the temporary directories and files those tests work in.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovan::test {

struct Finished {
  int status = -1;  // exit status, or 128 + signal number
  std::string out, err;
};

// How the child's standard input pipe behaves: a parent may hand its child a non-blocking one.
enum class ChildStdin { blocking, nonBlocking };

// A child started from `argv` in `directory` (empty: the current one) with default signal
// dispositions, its standard input and output on pipes and its standard error kept in a file.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& directory = {},
               ChildStdin stdinMode = ChildStdin::blocking);
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void write(std::string_view bytes);  // a child that has gone shows in its output
  void closeStdin();
  void leave();  // the parent gone: both pipes closed
  // The next whole line of standard output without its line feed; absent once it has ended.
  std::optional<std::string> readLine();
  // Closes standard input, reads standard output to its end and reaps the child.
  Finished finish();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outBuffer_;
};

// Runs to the end with `input` on standard input (then closed).
Finished runProcess(const std::vector<std::string>& argv, std::string_view input = {},
                    const std::string& directory = {});

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
  std::error_code ignored_;  // what removing it met
};

// What process `pid` holds: open descriptors, threads, resident memory and its peak in KiB.
std::vector<long> processCost(pid_t pid);

// Splits at "\r\n" or "\n".
std::vector<std::string> splitLines(const std::string& text);

std::string readFileOrEmpty(const std::string& path);
void writeFile(const std::string& path, std::string_view bytes);
bool fileExists(const std::string& path);

}  // namespace tovan::test
