#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tovan::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& directory,
                           ChildStdin stdinMode) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that has ended must not end the test on a write
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // Standard error goes to a file, so that no amount of it can stall a child nobody reads.
  char errName[] = "/tmp/tovan-stderr-XXXXXX";
  int in[2], out[2];
  err_ = ::mkostemp(errName, O_CLOEXEC);
  if (err_ < 0 || ::unlink(errName) || ::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) ||
      (pid_ = ::fork()) < 0) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  if (pid_ == 0) {
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (stdinMode == ChildStdin::nonBlocking) ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    const int streams[] = {in[0], out[1], err_};
    for (int fd = 0; fd < 3; ++fd) ::dup2(streams[fd], fd);
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  for (int childEnd : {in[0], out[1]}) ::close(childEnd);
  in_ = in[1];
  out_ = out[0];
}

ChildProcess::~ChildProcess() {
  for (int fd : {in_, out_, err_}) ::close(fd);  // a -1 is refused harmlessly
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) continue;
}

void ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty() && in_ >= 0) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno != EINTR) return;
    if (n > 0) bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void ChildProcess::closeStdin() {
  ::close(in_);
  in_ = -1;
}

void ChildProcess::leave() {
  closeStdin();
  ::close(out_);
  out_ = -1;
}

std::optional<std::string> ChildProcess::readLine() {
  size_t end;
  while ((end = outBuffer_.find('\n')) == std::string::npos) {
    // Three minutes of silence only keep a broken test from hanging: the child is taken as gone.
    pollfd ready{out_, POLLIN, 0};
    if (out_ < 0) return std::nullopt;
    if (::poll(&ready, 1, 180'000) == 0) {
      ::kill(pid_, SIGKILL);
      return std::nullopt;
    }
    char buffer[65536];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR)) return std::nullopt;
    if (n > 0) outBuffer_.append(buffer, static_cast<size_t>(n));
  }
  std::string line = outBuffer_.substr(0, end);
  outBuffer_.erase(0, end + 1);
  return line;
}

Finished ChildProcess::finish() {
  closeStdin();
  std::string out;
  while (std::optional<std::string> line = readLine()) out += *line + '\n';
  int raw = 0;
  while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) continue;
  reaped_ = true;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), out + outBuffer_,
          readFileOrEmpty("/proc/self/fd/" + std::to_string(err_))};  // opened anew, from its start
}

Finished runProcess(const std::vector<std::string>& argv, std::string_view input,
                    const std::string& directory) {
  ChildProcess child(argv, directory);
  child.write(input);
  return child.finish();
}

TempDir::TempDir() : path_(std::filesystem::temp_directory_path() / "tovan-test-XXXXXX") {
  if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

std::vector<long> processCost(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::error_code error;
  const long descriptors =
      std::distance(std::filesystem::directory_iterator(proc + "/fd", error), {});
  const std::string status = readFileOrEmpty(proc + "/status");
  auto field = [&](const std::string& name) {
    const std::size_t at = status.find(name + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + name.size() + 1));
  };
  return {descriptors, field("Threads"), field("VmRSS"), field("VmHWM")};
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string readFileOrEmpty(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, std::string_view bytes) {
  if (!std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()))) {
    throw std::runtime_error("cannot write " + path);
  }
}

bool fileExists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}

}  // namespace tovan::test
