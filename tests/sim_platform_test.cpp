// The simulated platform: its script, its files and its machine on a real SerialQueue.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sim/sim_files.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_script.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using testing::TempDir;

// Patience only keeps a broken test from hanging; nothing relies on it.
constexpr auto kPatience = std::chrono::seconds(60);

std::string scriptError(std::string_view text) {
  Result<SimScript> script = parseSimScript(text);
  return script ? "parsed" : script.error().description;
}

// Given every directive, with comments, blank lines, tabs and CRLF line ends: each lands in its
// field, descriptions keep their inner blanks, and a later line replaces an earlier one.
TEST(SimScript, ReadsEveryDirective) {
  Result<SimScript> script = parseSimScript(
      "# a guest that misbehaves\n"
      "boot 1\r\n"
      "\n"
      "boot 0.25  # the later one counts\n"
      "restore .5\n"
      "save\t2.0\n"
      "fail start   disk  on fire  \n"
      "fail stop-request nope\n"
      "fail save-restore-validation unsupported device\n"
      "stop-response never\n"
      "power-off-after 3\n"
      "error-after 4 internal error\n"
      "detach-network-after 5 cable pulled\n"
      "host macos-13\n"
      "time-scale 0.01\n");
  ASSERT_TRUE(script) << script.error().description;
  EXPECT_EQ(script->bootSeconds, 0.25);
  EXPECT_EQ(script->restoreSeconds, 0.5);
  EXPECT_EQ(script->saveSeconds, 2.0);
  EXPECT_EQ(*script->failure(SimOperation::start), "disk  on fire");
  EXPECT_EQ(*script->failure(SimOperation::stopRequest), "nope");
  EXPECT_EQ(*script->failure(SimOperation::saveRestoreValidation), "unsupported device");
  EXPECT_EQ(script->failure(SimOperation::save), nullptr);
  EXPECT_EQ(script->stopResponseSeconds, std::nullopt);
  EXPECT_EQ(script->powerOffAfterSeconds, std::optional<double>(3));
  EXPECT_EQ(script->errorAfter->seconds, 4);
  EXPECT_EQ(script->errorAfter->description, "internal error");
  EXPECT_EQ(script->detachNetworkAfter->description, "cable pulled");
  EXPECT_EQ(script->host, SimHost::macos13);
  EXPECT_EQ(script->timeScale, 0.01);
}

// Given a malformed line after good ones: the whole script fails naming that line's number.
TEST(SimScript, NamesTheFirstMalformedLine) {
  EXPECT_EQ(scriptError("# ok\n\nboot 1\nbogus 2\nboot x\n"),
            "sim script line 4: unknown directive \"bogus\"");
  EXPECT_EQ(scriptError("boot"), "sim script line 1: boot takes one duration in seconds");
  for (const char* duration : {"-1", "1e3", "1.2.3", ".", "2000000", "0x10"}) {
    EXPECT_EQ(scriptError(std::string("restore ") + duration),
              std::string("sim script line 1: \"") + duration +
                  "\" is not a duration in seconds (a plain decimal up to 1000000)");
  }
  EXPECT_EQ(scriptError("fail start"),
            "sim script line 1: fail takes an operation and a description");
  EXPECT_EQ(scriptError("fail start # only a comment"),
            "sim script line 1: fail takes an operation and a description");
  EXPECT_THAT(scriptError("fail reboot now"),
              StartsWith("sim script line 1: unknown operation \"reboot\" (start, restore,"));
  EXPECT_EQ(scriptError("stop-response never ever"),
            "sim script line 1: stop-response takes a duration in seconds or never");
  EXPECT_EQ(scriptError("error-after 1"),
            "sim script line 1: error-after takes a duration in seconds and a description");
  EXPECT_EQ(scriptError("host macos-12"), "sim script line 1: host takes macos-13 or macos-14");
  EXPECT_EQ(scriptError("time-scale fast"),
            "sim script line 1: \"fast\" is not a scale factor (a plain decimal)");
  EXPECT_EQ(scriptError("boot 1\n\x7f"
                        "ELF\x02\x01"),
            "sim script line 2: not a line of text (control byte 127)");
}

// Identifiers: fresh ones are accepted and differ; anything cut, changed or padded is refused.
TEST(SimFiles, MachineIdentifierCarriesItsOwnCheck) {
  SimPlatform platform;
  const std::string first = platform.newMachineIdentifier().dataRepresentation;
  const std::string second = platform.newMachineIdentifier().dataRepresentation;
  EXPECT_NE(first, second);
  ASSERT_TRUE(platform.machineIdentifierFromData(first));
  EXPECT_EQ(platform.machineIdentifierFromData(first)->dataRepresentation, first);

  std::string flipped = first;
  flipped[20] = flipped[20] == '0' ? '1' : '0';
  std::string upper = first;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& bad : {std::string(), first.substr(0, first.size() - 1), first + "\n",
                                 flipped, upper, std::string(first.size(), 'x')}) {
    EXPECT_FALSE(platform.machineIdentifierFromData(bad)) << bad;
  }
}

// The EFI store is created once, never over anything, with the OS's reason when it cannot be.
TEST(SimFiles, EfiVariableStoreIsCreatedOnlyWhereNothingIs) {
  TempDir dir;
  SimPlatform platform;
  ASSERT_TRUE(platform.createEfiVariableStore(dir / "efi"));
  EXPECT_THAT(testing::readFileOrEmpty(dir / "efi"), StartsWith("tovan-sim EFI variable store"));

  Status again = platform.createEfiVariableStore(dir / "efi");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().description,
            "cannot create EFI variable store at \"" + (dir / "efi") + "\": File exists");
  Status missing = platform.createEfiVariableStore(dir / "none/efi");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().description, "cannot create EFI variable store at \"" +
                                             (dir / "none/efi") + "\": No such file or directory");
}

// Saved states: the encoding reads back; every shorter prefix and every damaged byte is refused
// with one of the three texts, never accepted.
TEST(SimFiles, SavedStateRefusesEveryTruncationAndDamage) {
  const SimSavedState state{"tovan-sim-id:x", 4, std::uint64_t{2} << 30, 12.5};
  const std::string bytes = encodeSimSavedState(state);
  Result<SimSavedState> decoded = decodeSimSavedState(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->machineIdentifier, state.machineIdentifier);
  EXPECT_EQ(decoded->cpuCount, 4);
  EXPECT_EQ(decoded->memorySize, state.memorySize);
  EXPECT_EQ(decoded->uptimeSeconds, 12.5);

  EXPECT_EQ(decodeSimSavedState("").error().description, "not a saved machine state");
  EXPECT_EQ(decodeSimSavedState("hello\n").error().description, "not a saved machine state");
  for (std::size_t length = 1; length < bytes.size(); ++length) {
    Result<SimSavedState> cut = decodeSimSavedState(bytes.substr(0, length));
    ASSERT_FALSE(cut) << length;
    EXPECT_EQ(cut.error().description, "saved machine state is truncated") << length;
  }
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x04);
    Result<SimSavedState> read = decodeSimSavedState(damaged);
    ASSERT_FALSE(read) << at;
    EXPECT_THAT(read.error().description,
                ::testing::AnyOf("not a saved machine state", "saved machine state is corrupt",
                                 "saved machine state is truncated"))
        << at;
  }
  EXPECT_EQ(decodeSimSavedState(bytes + "x").error().description, "saved machine state is corrupt");
}

// Disk images: a missing one or a directory fails with the path and the OS reason; only the
// read-write attach reads the script, and a bad script fails that attach.
TEST(SimPlatformAttach, ReadsTheScriptOnlyFromTheReadWriteImage) {
  TempDir dir;
  SimPlatform platform;
  Result<StorageDevice> missing = platform.attachDiskImage(dir / "none", DiskAccess::readOnly);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().description,
            "cannot open disk image \"" + (dir / "none") + "\": No such file or directory");
  Result<StorageDevice> directory = platform.attachDiskImage(dir.path(), DiskAccess::readOnly);
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().description,
            "cannot attach disk image \"" + dir.path() + "\": Is a directory");

  testing::writeFile(dir / "seed", "host macos-13\n\x01 binary");
  ASSERT_TRUE(platform.attachDiskImage(dir / "seed", DiskAccess::readOnly));
  EXPECT_TRUE(platform.canSaveAndRestore());

  testing::writeFile(dir / "disk", "host macos-13\ntime-scale 0.5\n");
  Result<StorageDevice> disk = platform.attachDiskImage(
      dir / "disk", DiskAccess::readWrite, DiskCaching::uncached, DiskSynchronization::none);
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->path, dir / "disk");
  EXPECT_EQ(disk->caching, DiskCaching::uncached);
  EXPECT_EQ(disk->synchronization, DiskSynchronization::none);
  EXPECT_FALSE(platform.canSaveAndRestore());
  EXPECT_EQ(platform.script().timeScale, 0.5);

  testing::writeFile(dir / "disk", "host macos-14\nboot soon\n");
  Result<StorageDevice> bad = platform.attachDiskImage(dir / "disk", DiskAccess::readWrite);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().description,
            "sim script line 2: \"soon\" is not a duration in seconds (a plain decimal up to "
            "1000000)");
}

// The platform's answers are read by the reader thread while the machine queue attaches disks:
// under ThreadSanitizer this shows the two never race.
TEST(SimPlatformAttach, ScriptIsSafeToReadFromAnotherThread) {
  TempDir dir;
  SimPlatform platform;
  testing::writeFile(dir / "disk", "time-scale 0\n");
  ASSERT_TRUE(platform.attachDiskImage(dir / "disk", DiskAccess::readWrite));
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      (void)platform.canSaveAndRestore();
      platform.sleepFor(20);  // scaled to nothing once the script is in
    }
  });
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(platform.attachDiskImage(dir / "disk", DiskAccess::readWrite));
  }
  done = true;
  reader.join();
}

MachineConfiguration validConfiguration(SimPlatform& platform) {
  MachineConfiguration configuration;
  configuration.machineIdentifier = platform.newMachineIdentifier();
  configuration.cpuCount = 2;
  configuration.memorySize = std::uint64_t{1} << 30;
  configuration.storageDevices = {StorageDevice{"disk"}};
  configuration.networkDevices = {NetworkDevice{}};
  return configuration;
}

// validate() refuses what a real platform would, at the limits' edges, and what the script
// says; the save/restore check refuses old hosts, entropy devices and the scripted failure.
TEST(SimPlatformValidate, RefusesRealProblemsAndScriptedFailures) {
  TempDir dir;
  SimPlatform platform;
  auto problem = [&](auto change) {
    MachineConfiguration configuration = validConfiguration(platform);
    change(configuration);
    Status status = platform.validate(configuration);
    return status ? std::string("valid") : status.error().description;
  };
  EXPECT_EQ(problem([](MachineConfiguration&) {}), "valid");
  EXPECT_EQ(problem([](auto& c) { c.storageDevices.clear(); }),
            "the machine needs at least one storage device");
  EXPECT_EQ(problem([](auto& c) { c.cpuCount = 0; }),
            "the CPU count 0 is outside the allowed range of 1 to 64");
  EXPECT_EQ(problem([](auto& c) { c.cpuCount = 65; }),
            "the CPU count 65 is outside the allowed range of 1 to 64");
  EXPECT_EQ(problem([](auto& c) { c.cpuCount = 64; }), "valid");
  EXPECT_EQ(problem([](auto& c) { c.memorySize = (std::uint64_t{64} << 20) - (1 << 20); }),
            "the memory size of 66060288 bytes is outside the allowed range of 64 MiB to 1 TiB");
  EXPECT_EQ(problem([](auto& c) { c.memorySize = (std::uint64_t{1} << 40) + (1 << 20); }),
            "the memory size of 1099512676352 bytes is outside the allowed range of 64 MiB to "
            "1 TiB");
  EXPECT_EQ(problem([](auto& c) { c.memorySize = std::uint64_t{1} << 40; }), "valid");
  EXPECT_EQ(problem([](auto& c) { c.memorySize += 1; }),
            "the memory size of 1073741825 bytes is not a whole number of MiB");
  EXPECT_EQ(problem([](auto& c) { c.machineIdentifier.dataRepresentation = "x"; }),
            "the machine identifier is not valid");

  MachineConfiguration configuration = validConfiguration(platform);
  EXPECT_TRUE(platform.validateSaveRestoreSupport(configuration));
  configuration.entropyDevices = 1;
  EXPECT_EQ(platform.validateSaveRestoreSupport(configuration).error().description,
            "the virtio entropy device does not support saving and restoring");

  testing::writeFile(dir / "disk", "fail validate no good\nfail save-restore-validation nah\n");
  ASSERT_TRUE(platform.attachDiskImage(dir / "disk", DiskAccess::readWrite));
  EXPECT_EQ(problem([](MachineConfiguration&) {}), "no good");
  configuration.entropyDevices = 0;
  EXPECT_EQ(platform.validateSaveRestoreSupport(configuration).error().description, "nah");

  testing::writeFile(dir / "disk", "host macos-13\n");
  ASSERT_TRUE(platform.attachDiskImage(dir / "disk", DiskAccess::readWrite));
  EXPECT_EQ(platform.validateSaveRestoreSupport(configuration).error().description,
            "saving and restoring machine state needs macOS 14 or later");
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
class SimMachineTest : public ::testing::Test {
 protected:
  ~SimMachineTest() override {
    queue_.sync([this] { machine_.reset(); });
  }

  MachineConfiguration configurationFor(std::string_view script) {
    testing::writeFile(dir_ / "disk", script);
    Result<StorageDevice> disk = platform_.attachDiskImage(dir_ / "disk", DiskAccess::readWrite);
    EXPECT_TRUE(disk);
    MachineConfiguration configuration = validConfiguration(platform_);
    if (disk) configuration.storageDevices = {*disk};
    return configuration;
  }

  void create(std::string_view script) { create(configurationFor(script)); }
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
  std::string start() {
    return call([](Machine& m, Completion done) { m.start(std::move(done)); }, "start");
  }
  std::string pause() {
    return call([](Machine& m, Completion done) { m.pause(std::move(done)); }, "pause");
  }
  std::string resume() {
    return call([](Machine& m, Completion done) { m.resume(std::move(done)); }, "resume");
  }
  std::string save(const std::string& path) {
    return call([path](Machine& m, Completion done) { m.saveMachineState(path, std::move(done)); },
                "save");
  }
  std::string restore(const std::string& path) {
    return call(
        [path](Machine& m, Completion done) { m.restoreMachineState(path, std::move(done)); },
        "restore");
  }
  // The machine's answers to canPause, canRequestStop, and the outcome of requestStop.
  std::string stopRequest() {
    std::string outcome;
    queue_.sync([&] {
      Status status = machine_->requestStop();
      outcome = status ? "ok" : status.error().description;
    });
    return outcome;
  }
  std::pair<bool, bool> can() {
    std::pair<bool, bool> answers;
    queue_.sync([&] { answers = {machine_->canPause(), machine_->canRequestStop()}; });
    return answers;
  }

  TempDir dir_;
  SimPlatform platform_;
  Recorder recorder_{queue_};  // refers to the queue only by reference; outlives its work
  SerialQueue queue_{"sim-machine-test"};
  std::unique_ptr<Machine> machine_;
};

// Given a healthy guest: it starts, pauses and saves a state file; a second machine with the
// same identity restores that file, comes back paused and resumes to running.
TEST_F(SimMachineTest, SavedStateRestoresIntoTheSameMachine) {
  MachineConfiguration configuration = configurationFor("");
  create(configuration);
  EXPECT_EQ(can(), std::make_pair(false, false));
  EXPECT_EQ(start(), "start: ok");
  EXPECT_EQ(can(), std::make_pair(true, true));
  EXPECT_EQ(pause(), "pause: ok");
  EXPECT_EQ(can(), std::make_pair(false, false));
  EXPECT_EQ(save(dir_ / "state"), "save: ok");
  Result<SimSavedState> saved = readSimSavedState(dir_ / "state");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->machineIdentifier, configuration.machineIdentifier.dataRepresentation);

  queue_.sync([this] { machine_.reset(); });
  create(configuration);
  EXPECT_EQ(restore(dir_ / "state"), "restore: ok");
  EXPECT_EQ(can(), std::make_pair(false, false));
  EXPECT_EQ(resume(), "resume: ok");
  EXPECT_EQ(can(), std::make_pair(true, true));
  EXPECT_TRUE(recorder_.allOnQueue());
}

// Given state files that are missing, not ours, damaged or another machine's: each restore
// fails with its own text and leaves the machine stopped, ready to cold-start.
TEST_F(SimMachineTest, RestoreRefusesFilesThatAreNotThisMachinesState) {
  MachineConfiguration configuration = configurationFor("");
  const std::string& identifier = configuration.machineIdentifier.dataRepresentation;
  const std::string good = encodeSimSavedState({identifier, 2, std::uint64_t{1} << 30, 1});
  testing::writeFile(dir_ / "empty", "");
  testing::writeFile(dir_ / "garbage",
                     "\x7f"
                     "ELF garbage");
  testing::writeFile(dir_ / "truncated", good.substr(0, good.size() / 2));
  testing::writeFile(dir_ / "other-id",
                     encodeSimSavedState({platform_.newMachineIdentifier().dataRepresentation, 2,
                                          std::uint64_t{1} << 30, 1}));
  testing::writeFile(dir_ / "other-cpus",
                     encodeSimSavedState({identifier, 3, std::uint64_t{1} << 30, 1}));
  testing::writeFile(dir_ / "other-memory",
                     encodeSimSavedState({identifier, 2, std::uint64_t{2} << 30, 1}));
  create(configuration);

  EXPECT_EQ(restore(dir_ / "missing"), "restore: cannot open saved state \"" + (dir_ / "missing") +
                                           "\": No such file or directory");
  EXPECT_EQ(restore(dir_ / "empty"), "restore: not a saved machine state");
  EXPECT_EQ(restore(dir_ / "garbage"), "restore: not a saved machine state");
  EXPECT_EQ(restore(dir_ / "truncated"), "restore: saved machine state is truncated");
  EXPECT_EQ(restore(dir_ / "other-id"), "restore: saved state is for another machine");
  EXPECT_EQ(restore(dir_ / "other-cpus"), "restore: saved state is for another machine");
  EXPECT_EQ(restore(dir_ / "other-memory"), "restore: saved state is for another machine");
  EXPECT_EQ(start(), "start: ok");
}

// Given every scripted failure: each operation fails with exactly its description and leaves
// the machine where a real one would be (failed start: stopped; failed pause: running; failed
// resume or save: paused).
TEST_F(SimMachineTest, ScriptedFailuresLeaveTheMachineWhereItWas) {
  create(
      "fail pause pause refused\n"
      "fail stop-request guest said no\n");
  EXPECT_EQ(pause(), "pause: cannot pause the machine while it is stopped");
  EXPECT_EQ(stopRequest(), "cannot request a stop while the machine is stopped");
  EXPECT_EQ(start(), "start: ok");
  EXPECT_EQ(pause(), "pause: pause refused");
  EXPECT_EQ(can(), std::make_pair(true, true));
  EXPECT_EQ(stopRequest(), "guest said no");

  queue_.sync([this] { machine_.reset(); });
  create("fail save disk full\nfail resume cannot resume\n");
  EXPECT_EQ(start(), "start: ok");
  EXPECT_EQ(pause(), "pause: ok");
  EXPECT_EQ(save(dir_ / "state"), "save: disk full");
  EXPECT_FALSE(testing::fileExists(dir_ / "state"));
  EXPECT_EQ(resume(), "resume: cannot resume");
  EXPECT_EQ(save(dir_ / "none/state"), "save: disk full");

  queue_.sync([this] { machine_.reset(); });
  create("fail start disk on fire\nfail restore state rotten\n");
  EXPECT_EQ(restore(dir_ / "anything"), "restore: state rotten");
  EXPECT_EQ(start(), "start: disk on fire");
  EXPECT_EQ(can(), std::make_pair(false, false));
  EXPECT_EQ(start(), "start: disk on fire");
}

// Given operations asked in the wrong state, or a save into a missing directory: they fail with
// the state or the OS reason, and the machine carries on.
TEST_F(SimMachineTest, OperationsInTheWrongStateFail) {
  create("");
  EXPECT_EQ(resume(), "resume: cannot resume the machine while it is stopped");
  EXPECT_EQ(save(dir_ / "state"), "save: cannot save the machine while it is stopped");
  EXPECT_EQ(start(), "start: ok");
  EXPECT_EQ(start(), "start: cannot start the machine while it is running");
  EXPECT_EQ(restore(dir_ / "state"), "restore: cannot restore the machine while it is running");
  EXPECT_EQ(save(dir_ / "state"), "save: cannot save the machine while it is running");
  EXPECT_EQ(pause(), "pause: ok");
  EXPECT_EQ(save(dir_ / "none/state"), "save: cannot write saved state to \"" +
                                           (dir_ / "none/state") + "\": No such file or directory");
  EXPECT_EQ(resume(), "resume: ok");
}

// Given a running guest asked to stop: it powers off through the delegate and is stopped.
TEST_F(SimMachineTest, StopRequestEndsInGuestDidStop) {
  create("stop-response 0.01\n");
  EXPECT_EQ(start(), "start: ok");
  EXPECT_EQ(stopRequest(), "ok");
  EXPECT_THAT(recorder_.waitFor(2), ElementsAre("start: ok", "guestDidStop"));
  EXPECT_EQ(can(), std::make_pair(false, false));
  EXPECT_EQ(stopRequest(), "cannot request a stop while the machine is stopped");
  EXPECT_TRUE(recorder_.allOnQueue());
}

// Given a guest that ignores stop requests and fails later: the only report after the request is
// the machine's error, after which the machine is stopped.
TEST_F(SimMachineTest, GuestThatIgnoresStopsOnlyReportsItsError) {
  create("stop-response never\nerror-after 0.2 internal virtualization error\n");
  EXPECT_EQ(start(), "start: ok");
  EXPECT_EQ(stopRequest(), "ok");
  EXPECT_THAT(recorder_.waitFor(2),
              ElementsAre("start: ok", "didStopWithError: internal virtualization error"));
  EXPECT_EQ(can(), std::make_pair(false, false));
}

// Given a network detachment and a power-off, timed from the first run: both arrive through the
// delegate, on the queue; no completion, not even an immediate failure, comes from inside its call.
TEST_F(SimMachineTest, TimedEventsArriveOnTheQueueAfterTheCall) {
  create("detach-network-after 0 cable pulled\npower-off-after 0.1\n");
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

// Given a guest that powers itself off while paused: it cannot until it runs again, so the
// resume succeeds and the power-off follows it.
TEST_F(SimMachineTest, PowerOffWhilePausedHappensOnResume) {
  create("boot 0\npower-off-after 0.05\n");
  queue_.async([this] {
    machine_->start([this](std::optional<Error> error) {
      recorder_.completion("start")(error);
      machine_->pause(recorder_.completion("pause"));
    });
  });
  EXPECT_THAT(recorder_.waitFor(2), ElementsAre("start: ok", "pause: ok"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets the power-off fall due
  EXPECT_EQ(can(), std::make_pair(false, false));
  EXPECT_EQ(resume(), "resume: ok");
  EXPECT_THAT(recorder_.waitFor(4),
              ElementsAre("start: ok", "pause: ok", "resume: ok", "guestDidStop"));
}

// Given a console log with older, longer content: the boot lines overwrite it from byte 0 and
// the rest of the older content stays.
TEST_F(SimMachineTest, BootWritesGuestOutputIntoTheConsoleLog) {
  const std::string older(100, '.');
  testing::writeFile(dir_ / "console.log", older);
  MachineConfiguration configuration = configurationFor("");
  auto log = std::make_shared<UniqueFd>(::open((dir_ / "console.log").c_str(), O_WRONLY));
  configuration.serialPorts = {SerialPort{log, dir_ / "console.log"}};
  create(std::move(configuration));
  EXPECT_EQ(start(), "start: ok");
  const std::string lines = "sim guest booting\r\nsim guest ready\r\n";
  EXPECT_EQ(testing::readFileOrEmpty(dir_ / "console.log"), lines + older.substr(lines.size()));
}

}  // namespace
}  // namespace tovan
