// Events on the wire, `emit`, the one exit routine, and the serial queue that carries the machine.
#include <gmock/gmock.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <numeric>
#include <thread>

#include "base/exit.h"
#include "events/catalogue.h"
#include "platform/serial_queue.h"
#include "support/stdout_capture.h"

namespace tovan::test {
namespace {

TEST(SerializeEvent, WritesOneCompactObjectPerLineWithControlCharactersEscaped) {
  EXPECT_EQ(serializeEvent(catalogue::running()), "{\"event\":\"state\",\"state\":\"running\"}\n");
  EXPECT_EQ(serializeEvent(catalogue::consoleLoggingDisabled("/tmp/a\"b\\c\nd")),
            "{\"event\":\"log\",\"line\":\"console logging disabled (cannot open "
            "/tmp/a\\\"b\\\\c\\nd)\"}\n");
  // The em dash goes out as UTF-8.
  EXPECT_EQ(serializeEvent(catalogue::hostShareSurvivedUnmount("my vm")),
            "{\"event\":\"log\",\"line\":\"host share /Volumes/my vm survived forced unmount "
            "\xe2\x80\x94 freezing anyway; the mount may hang the host until the VM is woken or "
            "the Mac reboots\"}\n");
}

// Lines far longer than a pipe's atomic write size, from four threads at once, each go out whole.
// (A reader that has left costs the helper nothing: the lifecycle's fault scenarios show it.)
TEST(Emit, NeverInterleavesLinesFromConcurrentThreads) {
  StdoutCapture captured;
  std::vector<std::thread> writers;
  for (char fill : {'a', 'b', 'c', 'd'}) {
    writers.emplace_back([fill] {
      for (int i = 0; i < 50; ++i) emit(Event::log(std::string(20000, fill)));
    });
  }
  for (auto& writer : writers) writer.join();
  const std::vector<std::string> lines = captured.finishLines();
  ASSERT_EQ(lines.size(), 200u);
  for (const std::string& line : lines) {
    const std::string text = nlohmann::json::parse(line).at("line");
    EXPECT_EQ(text, std::string(20000, text[0]));
  }
}

TEST(ExitProcessDeathTest, RunsItsHooksAndEndsWithTheStatus) {
  const auto hook = [] { (void)!::write(STDERR_FILENO, "exit hook ran\n", 14); };
  EXPECT_EXIT((addExitHook(hook), exitProcess(3)), testing::ExitedWithCode(3), "exit hook ran");
}

// Each item notes its number, or -1 when it runs off the queue's own thread. The last hundred
// are queued behind a held item, so that the queue is still full when it is destroyed.
TEST(SerialQueue, RunsWorkOneAtATimeInSubmissionOrderOnItsOwnThreadAndDrainsWhenDestroyed) {
  std::vector<int> order;
  std::atomic<bool> held = true;
  {
    SerialQueue queue("test");
    EXPECT_FALSE(queue.isCurrent());
    auto note = [&](int i) {
      queue.async([&, i] { order.push_back(queue.isCurrent() ? i : -1); });
    };
    for (int i = 0; i < 100; ++i) note(i);
    queue.sync([&] { EXPECT_EQ(order.size(), 100u); });  // after everything queued before it
    queue.async([&] {
      while (held) std::this_thread::yield();
    });
    for (int i = 100; i < 200; ++i) note(i);
    held = false;
  }
  std::vector<int> expected(200);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace tovan::test
