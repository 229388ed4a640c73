#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tovan::test {

namespace {

int decodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& directory,
                           ChildStdin stdinMode) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0 ||
      ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (stdinMode == ChildStdin::nonBlocking) ::fcntl(inPipe[0], F_SETFL, O_NONBLOCK);
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  errFd_ = errPipe[0];
}

ChildProcess::~ChildProcess() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  if (errFd_ >= 0) ::close(errFd_);
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int raw;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
}

void ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty() && in_ >= 0) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the child has gone; the test sees that in its output
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void ChildProcess::closeStdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

bool ChildProcess::pump(std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (out_ < 0 && errFd_ < 0) return false;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) throw std::runtime_error("child process gave no output in time");
  int ready = ::poll(fds, 2, static_cast<int>(left.count()));
  if (ready < 0 && errno == EINTR) return true;
  if (ready == 0) throw std::runtime_error("child process gave no output in time");
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    int& fd = i == 0 ? out_ : errFd_;
    if (n <= 0) {
      ::close(fd);
      fd = -1;
      continue;
    }
    (i == 0 ? outBuffer_ : err_).append(buffer, static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::seconds patience) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    auto newline = outBuffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = outBuffer_.substr(0, newline);
      outBuffer_.erase(0, newline + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    pump(deadline);
  }
}

Finished ChildProcess::finish(std::chrono::seconds patience) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  closeStdin();
  while (out_ >= 0 || errFd_ >= 0) pump(deadline);
  if (!reaped_) {
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = decodeStatus(raw);
  }
  Finished result;
  result.status = status_;
  result.out = std::move(outBuffer_);
  result.err = err_;
  outBuffer_.clear();
  return result;
}

Finished runProcess(const std::vector<std::string>& argv, std::string_view input,
                    const std::string& directory) {
  ChildProcess child(argv, directory);
  child.write(input);
  return child.finish();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tovan-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string readFileOrEmpty(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace tovan::test
