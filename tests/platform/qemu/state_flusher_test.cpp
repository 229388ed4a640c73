// The state flusher: it reports once the writer is done and the file is flushed, never before,
// and not at all when it is dropped first.
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/files.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/qemu/state_flusher.h"
#include "support/qemu.h"
#include "support/child_process.h"

namespace tovan {
namespace {

class Outcome {
 public:
  StateFlusher::Finished callback() {
    return [this](Status flushed) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++calls_;
      status_ = flushed;
      changed_.notify_all();
    };
  }
  std::optional<Status> await() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, qemutest::kPatience, [&] { return calls_ > 0; });
    return status_;
  }
  int calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
  std::optional<Status> status_;
};

TEST(StateFlusher, FollowsAWriterAndReportsOnceItIsDoneAndFlushed) {
  test::TempDir dir;
  const std::string path = dir / "state";
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  Outcome outcome;
  // A small chunk, so that writeback is started many times on the way.
  auto flusher = StateFlusher::follow(std::move(file), path, 64 << 10, outcome.callback());

  std::string written;
  for (int i = 0; i < 64; ++i) {
    std::string piece(48 << 10, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(writeAll(flusher->file(), piece));
    written += piece;
  }
  EXPECT_EQ(outcome.calls(), 0);  // the writer is not done yet

  flusher->writerDone();
  auto flushed = outcome.await();
  ASSERT_TRUE(flushed.has_value());
  EXPECT_TRUE(flushed->ok());
  flusher.reset();
  EXPECT_EQ(outcome.calls(), 1);
  EXPECT_EQ(test::readFileOrEmpty(path), written);
}

TEST(StateFlusher, ReportsAFlushThatFails) {
  test::TempDir dir;
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd reader(ends[0]);
  Outcome outcome;
  // A pipe cannot be synced; nor can it be watched by path, so only the final flush runs.
  auto flusher =
      StateFlusher::follow(UniqueFd(ends[1]), dir / "nothing", 1 << 20, outcome.callback());
  flusher->writerDone();
  auto flushed = outcome.await();
  ASSERT_TRUE(flushed.has_value());
  ASSERT_FALSE(flushed->ok());
  EXPECT_EQ(flushed->error().description, "cannot write the saved state to disk: Invalid argument");
}

TEST(StateFlusher, DroppedBeforeTheWriterIsDoneItReportsNothing) {
  test::TempDir dir;
  const std::string path = dir / "state";
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  Outcome outcome;
  auto flusher = StateFlusher::follow(std::move(file), path, 1 << 20, outcome.callback());
  ASSERT_TRUE(writeAll(flusher->file(), "partial"));
  flusher.reset();  // waits for its thread
  EXPECT_EQ(outcome.calls(), 0);
}

}  // namespace
}  // namespace tovan
