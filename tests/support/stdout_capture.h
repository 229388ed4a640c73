// Captures what this process writes to descriptor 1, where `emit` writes events. A pipe drained
// by a thread, not a file: lines that their writers failed to keep whole show interleaved.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tovan::test {

class StdoutCapture {
 public:
  // Keep the window narrow: a failing assertion inside it would print into the capture.
  StdoutCapture() {
    std::fflush(stdout);
    int fds[2];
    if (::pipe(fds) != 0) return;
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      char buffer[65536];
      for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text_.append(buffer, size_t(n));
      ::close(fd);
    });
  }
  ~StdoutCapture() { (void)finishLines(); }

  // Puts descriptor 1 back; the lines written meanwhile, without their line feeds.
  std::vector<std::string> finishLines() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, STDOUT_FILENO);  // closes the pipe's last write end: the reader sees its end
      ::close(saved_);
      saved_ = -1;
      reader_.join();
    }
    std::vector<std::string> lines;
    std::istringstream text(text_);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

 private:
  int saved_ = -1;
  std::thread reader_;
  std::string text_;
};

}  // namespace tovan::test
