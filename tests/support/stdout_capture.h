// Captures what the process writes to file descriptor 1, where `emit` writes its event lines,
// so that in-process tests can see the events of the code they call.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tovan::test {

class StdoutCapture {
 public:
  // Redirects descriptor 1 into a fresh anonymous file until `finish` or destruction. Keep the
  // window narrow: a failing assertion inside it would print into the capture.
  StdoutCapture() {
    std::fflush(stdout);
    char name[] = "/tmp/tovan-stdout-XXXXXX";
    file_ = ::mkstemp(name);
    if (file_ >= 0) ::unlink(name);
    saved_ = ::dup(STDOUT_FILENO);
    if (file_ >= 0 && saved_ >= 0) ::dup2(file_, STDOUT_FILENO);
  }
  ~StdoutCapture() { (void)finish(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Puts descriptor 1 back and returns everything written meanwhile.
  std::string finish() {
    if (saved_ < 0) return captured_;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    if (file_ >= 0) {
      ::lseek(file_, 0, SEEK_SET);
      char buffer[4096];
      for (ssize_t n; (n = ::read(file_, buffer, sizeof buffer)) > 0;) {
        captured_.append(buffer, static_cast<size_t>(n));
      }
      ::close(file_);
      file_ = -1;
    }
    return captured_;
  }

  // The captured text as lines without their line feeds.
  std::vector<std::string> finishLines() {
    std::vector<std::string> lines;
    std::string text = finish();
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

 private:
  int file_ = -1;
  int saved_ = -1;
  std::string captured_;
};

}  // namespace tovan::test
