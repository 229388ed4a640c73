#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/exit.h"
#include "events/catalogue.h"
#include "events/event.h"
#include "platform/serial_queue.h"

namespace tovan {
namespace {

TEST(SerializeEvent, WritesOneCompactObjectPerLineWithControlCharactersEscaped) {
  EXPECT_EQ(serializeEvent(catalogue::running()), "{\"event\":\"state\",\"state\":\"running\"}\n");
  EXPECT_EQ(serializeEvent(catalogue::consoleLoggingDisabled("/tmp/a\"b\\c\nd")),
            "{\"event\":\"log\",\"line\":\"console logging disabled (cannot open "
            "/tmp/a\\\"b\\\\c\\nd)\"}\n");
  // Text that is not UTF-8 (a stray byte, a character cut short) still goes out, with U+FFFD.
  EXPECT_EQ(serializeEvent(catalogue::startFailed("bad \xff byte, cut \xe2\x80")),
            "{\"event\":\"error\",\"message\":\"start failed: bad \xef\xbf\xbd byte, cut "
            "\xef\xbf\xbd\"}\n");
}

TEST(Catalogue, HostShareTextCarriesTheEmDashAsUtf8) {
  EXPECT_EQ(catalogue::hostShareSurvivedUnmount("my vm").text,
            "host share /Volumes/my vm survived forced unmount \xe2\x80\x94 freezing anyway; the "
            "mount may hang the host until the VM is woken or the Mac reboots");
}

// Standard output redirected to a pipe that a reader thread drains, for the life of the object.
class CapturedStdout {
 public:
  CapturedStdout() {
    std::fflush(stdout);
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes_.append(buffer, size_t(n));
      ::close(fd);
    });
  }
  std::string finish() {
    ::dup2(saved_, STDOUT_FILENO);  // closes the last write end, so the reader sees the end
    ::close(saved_);
    reader_.join();
    return bytes_;
  }

 private:
  int saved_ = -1;
  std::thread reader_;
  std::string bytes_;
};

TEST(Emit, LinesFromConcurrentThreadsNeverInterleave) {
  // Lines far longer than a pipe's atomic write size, from four threads at once.
  CapturedStdout captured;
  std::vector<std::thread> writers;
  for (char fill : {'a', 'b', 'c', 'd'}) {
    writers.emplace_back([fill] {
      for (int i = 0; i < 50; ++i) emit(Event::log(std::string(20000, fill)));
    });
  }
  for (auto& writer : writers) writer.join();
  std::string out = captured.finish();

  int lines = 0;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    auto object = nlohmann::json::parse(out.substr(start, end - start));
    const std::string text = object.at("line");
    ASSERT_EQ(text.size(), 20000u);
    EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos) << "mixed line " << lines;
    ++lines;
  }
  EXPECT_EQ(lines, 200);
  EXPECT_EQ(start, out.size());
}

TEST(Emit, ReturnsNormallyWhenNobodyReadsStandardOutputAnyMore) {
  auto previous = std::signal(SIGPIPE, SIG_IGN);  // as the helper runs
  std::fflush(stdout);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  ::close(fds[0]);
  emit(catalogue::running());
  emit(catalogue::stopped());
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::signal(SIGPIPE, previous);

  // The failed writes left the stream usable: the next event goes out whole.
  CapturedStdout captured;
  emit(catalogue::running());
  EXPECT_EQ(captured.finish(), "{\"event\":\"state\",\"state\":\"running\"}\n");
}

void announceExit() { (void)!::write(STDERR_FILENO, "exit hook ran\n", 14); }

TEST(ExitProcessDeathTest, RunsItsHooksAndEndsWithTheStatus) {
  EXPECT_EXIT(
      {
        addExitHook(announceExit);
        exitProcess(3);
      },
      testing::ExitedWithCode(3), "exit hook ran");
}

TEST(SerialQueue, RunsWorkOneAtATimeInSubmissionOrderOnItsOwnThread) {
  std::vector<int> order;
  std::atomic<int> running{0};
  bool overlapped = false;
  bool onQueue = true;
  {
    SerialQueue queue("test");
    EXPECT_FALSE(queue.isCurrent());
    for (int i = 0; i < 200; ++i) {
      queue.async([&, i] {
        if (running.fetch_add(1) != 0) overlapped = true;
        order.push_back(i);
        onQueue = onQueue && queue.isCurrent();
        running.fetch_sub(1);
      });
    }
    int seen = -1;
    queue.sync([&] { seen = static_cast<int>(order.size()); });
    EXPECT_EQ(seen, 200);  // sync work runs after everything queued before it
    queue.async([&] { order.push_back(200); });
  }  // the destructor drains what is queued
  ASSERT_EQ(order.size(), 201u);
  for (int i = 0; i <= 200; ++i) EXPECT_EQ(order[size_t(i)], i);
  EXPECT_FALSE(overlapped);
  EXPECT_TRUE(onQueue);
}

}  // namespace
}  // namespace tovan
