// The simulated platform's own files and its machine's delivery on a real SerialQueue: the parts
// the scenario tests lean on without checking directly.
#include <sys/stat.h>

#include <cctype>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sim/sim_files.h"
#include "platform/sim/sim_platform.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using test::TempDir;
using testing::ElementsAre;

// Patience only keeps a broken test from hanging; nothing relies on it.
constexpr auto kPatience = std::chrono::seconds(60);

// Identifiers: fresh ones are accepted and differ; anything cut, changed or padded is refused.
TEST(SimFiles, MachineIdentifierCarriesItsOwnCheck) {
  SimPlatform platform;
  const std::string first = platform.newMachineIdentifier().dataRepresentation;
  EXPECT_NE(first, platform.newMachineIdentifier().dataRepresentation);
  ASSERT_TRUE(platform.machineIdentifierFromData(first));

  std::string flipped = first;
  flipped[20] = flipped[20] == '0' ? '1' : '0';
  std::string upper = first;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& bad :
       {std::string(), first.substr(0, first.size() - 1), first + "\n", flipped, upper}) {
    EXPECT_FALSE(platform.machineIdentifierFromData(bad)) << bad;
  }
}

// Collects what a machine reports, noting whether each report arrived on the machine's queue.
class Recorder final : public MachineDelegate {
 public:
  explicit Recorder(SerialQueue& queue) : queue_(queue) {}

  void guestDidStop() override { add("guestDidStop"); }
  void didStopWithError(const Error& error) override {
    add("didStopWithError: " + error.description);
  }
  void networkAttachmentWasDisconnected(const Error& error) override {
    add("networkDisconnected: " + error.description);
  }

  // A completion that records "<name>: ok" or "<name>: <description>".
  Completion completion(std::string name) {
    return [this, name](std::optional<Error> error) {
      add(name + ": " + (error ? error->description : "ok"));
    };
  }

  // Waits for the `count`th report and returns all so far.
  std::vector<std::string> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return reports_.size() >= count; });
    return reports_;
  }

  bool allOnQueue() {
    std::lock_guard<std::mutex> guard(mutex_);
    return allOnQueue_;
  }

 private:
  void add(std::string report) {
    const bool onQueue = queue_.isCurrent();
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.push_back(std::move(report));
    allOnQueue_ = allOnQueue_ && onQueue;
    changed_.notify_all();
  }

  SerialQueue& queue_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> reports_;
  bool allOnQueue_ = true;
};

// Owns a platform, a real queue and one machine built on a scripted disk image in a temporary
// directory. The machine is driven only from its queue, as the helper drives it.
class SimMachineTest : public testing::Test {
 protected:
  ~SimMachineTest() override {
    queue_.sync([this] { machine_.reset(); });
  }

  MachineConfiguration configurationFor(std::string_view script) {
    test::writeFile(dir_ / "disk", script);
    Result<StorageDevice> disk = platform_.attachDiskImage(dir_ / "disk", DiskAccess::readWrite);
    EXPECT_TRUE(disk);
    MachineConfiguration configuration;
    configuration.machineIdentifier = platform_.newMachineIdentifier();
    configuration.cpuCount = 2;
    configuration.memorySize = std::uint64_t{1} << 30;
    if (disk) configuration.storageDevices = {*disk};
    configuration.networkDevices = {NetworkDevice{}};
    return configuration;
  }

  void create(MachineConfiguration configuration) {
    queue_.sync([&] {
      machine_ = platform_.createMachine(std::move(configuration), queue_);
      machine_->setDelegate(&recorder_);
    });
  }

  // Runs `operation` on the queue and returns the next report after it (its completion).
  std::string call(const std::function<void(Machine&, Completion)>& operation, std::string name) {
    std::size_t before = recorder_.waitFor(0).size();
    queue_.async([this, operation, name] { operation(*machine_, recorder_.completion(name)); });
    std::vector<std::string> reports = recorder_.waitFor(before + 1);
    return reports.size() > before ? reports[before] : "no report";
  }
  std::string restore(const std::string& path) {
    return call(
        [path](Machine& m, Completion done) { m.restoreMachineState(path, std::move(done)); },
        "restore");
  }

  TempDir dir_;
  SimPlatform platform_;
  Recorder recorder_{queue_};  // refers to the queue only by reference; outlives its work
  SerialQueue queue_{"sim-machine-test"};
  std::unique_ptr<Machine> machine_;
};

// Given state files that are missing, a FIFO, not ours, cut short or another machine's: each
// restore fails with its own text and leaves the machine stopped, so this machine's own state still
// restores afterwards.
TEST_F(SimMachineTest, RestoreRefusesFilesThatAreNotThisMachinesState) {
  MachineConfiguration configuration = configurationFor("");
  const std::string& identifier = configuration.machineIdentifier.dataRepresentation;
  const std::string good = encodeSimSavedState({identifier, 2, std::uint64_t{1} << 30, 1});
  test::writeFile(dir_ / "good", good);
  test::writeFile(dir_ / "garbage",
                  "\x7f"
                  "ELF garbage");
  test::writeFile(dir_ / "truncated", good.substr(0, good.size() / 2));
  test::writeFile(dir_ / "other-id",
                  encodeSimSavedState({platform_.newMachineIdentifier().dataRepresentation, 2,
                                       std::uint64_t{1} << 30, 1}));
  test::writeFile(dir_ / "other-memory",
                  encodeSimSavedState({identifier, 2, std::uint64_t{2} << 30, 1}));
  create(configuration);

  EXPECT_EQ(restore(dir_ / "missing"), "restore: cannot open saved state \"" + (dir_ / "missing") +
                                           "\": No such file or directory");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);  // nobody will ever write to it
  EXPECT_EQ(restore(dir_ / "fifo"),
            "restore: cannot open saved state \"" + (dir_ / "fifo") + "\": not a regular file");
  EXPECT_EQ(restore(dir_ / "garbage"), "restore: not a saved machine state");
  EXPECT_EQ(restore(dir_ / "truncated"), "restore: saved machine state is truncated");
  EXPECT_EQ(restore(dir_ / "other-id"), "restore: saved state is for another machine");
  EXPECT_EQ(restore(dir_ / "other-memory"), "restore: saved state is for another machine");
  EXPECT_EQ(restore(dir_ / "good"), "restore: ok");
}

// Given a network detachment and a power-off, timed from the first run: both arrive through the
// delegate, on the queue; no completion, not even an immediate failure, comes from inside its call.
TEST_F(SimMachineTest, TimedEventsArriveOnTheQueueAfterTheCall) {
  create(configurationFor("detach-network-after 0 cable pulled\npower-off-after 0.1\n"));
  std::size_t reportsInsideTheCalls = 1;
  queue_.sync([&] {
    machine_->pause(recorder_.completion("pause"));  // fails at once, but reports later
    machine_->start(recorder_.completion("start"));
    reportsInsideTheCalls = recorder_.waitFor(0).size();
  });
  EXPECT_EQ(reportsInsideTheCalls, 0u);
  EXPECT_THAT(recorder_.waitFor(4),
              ElementsAre("pause: cannot pause the machine while it is stopped", "start: ok",
                          "networkDisconnected: cable pulled", "guestDidStop"));
  EXPECT_TRUE(recorder_.allOnQueue());
}

}  // namespace
}  // namespace tovan
