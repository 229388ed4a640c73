// The QEMU platform on its own: file checks against a fake host, and machines run by the real
// QEMU and OVMF of this host with a blank disk, so no guest has to boot. The firmware finds
// nothing to boot and waits, which is all that starting, pausing, saving and restoring need.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "machine/build_configuration.h"
#include "platform/qemu/accelerator.h"
#include "platform/qemu/machine_uuid.h"
#include "platform/qemu/qemu_platform.h"
#include "platform/serial_queue.h"
#include "support/qemu.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::SizeIs;
using testing::StartsWith;

constexpr std::uint64_t kMiB = 1 << 20;

HelperConfig configIn(const test::TempDir& dir) {
  HelperConfig config;
  config.diskPath = dir / "disk.img";
  config.seedPath = dir / "seed.img";
  config.efiStorePath = dir / "efi.vars";
  config.machineIdentifierPath = dir / "machine.id";
  config.consoleLogPath = dir / "console.log";
  config.macAddress = "52:54:00:12:34:56";
  config.cpuCount = 1;
  config.memoryMib = 128;
  config.isolated = true;
  config.savePath = dir / "state";
  return config;
}

// A host with a made-up installation whose variable-store template is a real file.
class FakeHostTest : public testing::Test {
 protected:
  FakeHostTest() {
    test::writeFile(dir / "VARS.fd", templateBytes);
    test::writeFile(dir / "CODE.fd", "");
    QemuInstallation installation;
    installation.emulator = "/bin/false";
    installation.firmware = {{dir / "CODE.fd", dir / "VARS.fd", templateBytes.size()}};
    host.installation = installation;
    host.accelerator = AcceleratorChoice{};
    host.cpuCount = 4;
    host.memorySize = 8192 * kMiB;
  }

  test::TempDir dir;
  const std::string templateBytes = std::string(4096, 'v') + "end";
  QemuHost host;
};

// The store is a fresh copy of the template and never replaces the guest's own variables; disk
// images that cannot be opened fail in QEMU's words.
TEST_F(FakeHostTest, VariableStoreNeverOverwritesAndDisksFailInQemusWords) {
  QemuPlatform platform(host);
  const std::string store = dir / "machine.vars";
  ASSERT_TRUE(platform.createEfiVariableStore(store).ok());
  EXPECT_EQ(test::readFileOrEmpty(store), templateBytes);
  test::writeFile(store, "the guest's own variables");
  Status again = platform.createEfiVariableStore(store);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().description, "cannot create \"" + store + "\": File exists");
  EXPECT_EQ(test::readFileOrEmpty(store), "the guest's own variables");

  host.installation = Error{"OVMF firmware not found (looked for ...)"};
  Status noFirmware = QemuPlatform(host).createEfiVariableStore(dir / "other.vars");
  ASSERT_FALSE(noFirmware.ok());
  EXPECT_EQ(noFirmware.error().description, "OVMF firmware not found (looked for ...)");
  EXPECT_FALSE(test::fileExists(dir / "other.vars"));

  auto missing = platform.attachDiskImage(dir / "none.img", DiskAccess::readOnly);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description,
            "Could not open '" + (dir / "none.img") + "': No such file or directory");
  auto directory = platform.attachDiskImage(dir.path(), DiskAccess::readOnly);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().description, "Could not open '" + dir.path() + "': Is a directory");
}

// A variable store emptied behind the helper's back is refused before QEMU would be asked.
TEST_F(FakeHostTest, ValidationRefusesAStoreOfTheWrongSize) {
  QemuPlatform platform(host);
  HelperConfig config = configIn(dir);
  test::writeFile(config.diskPath, std::string(512, '\0'));
  test::writeFile(config.seedPath, std::string(512, '\0'));
  auto built = buildConfiguration(config, platform);
  ASSERT_TRUE(built.ok()) << built.error().description;
  ASSERT_TRUE(platform.validate(*built).ok());

  test::writeFile(config.efiStorePath, "");
  Status emptyStore = platform.validate(*built);
  ASSERT_FALSE(emptyStore.ok());
  EXPECT_EQ(emptyStore.error().description,
            "the EFI variable store \"" + config.efiStorePath +
                "\" holds 0 bytes, where the firmware expects 4099");
}

TEST_F(FakeHostTest, AStartFailsWithWhatEndedItsQemuOrWithTheMissingInstallation) {
  HelperConfig config = configIn(dir);
  test::writeFile(config.diskPath, std::string(512, '\0'));
  test::writeFile(config.seedPath, std::string(512, '\0'));
  QemuPlatform building(host);
  auto built = buildConfiguration(config, building);
  ASSERT_TRUE(built.ok()) << built.error().description;

  SerialQueue queue("test.machine");
  auto startOn = [&](QemuPlatform& platform) {
    std::unique_ptr<Machine> machine;
    queue.sync([&] { machine = platform.createMachine(*built, queue); });
    auto error = qemutest::completeOn(queue, [&](Completion done) { machine->start(done); });
    queue.sync([&] { machine.reset(); });
    return error ? error->description : "success";
  };
  // The fake host's "QEMU" is /bin/false: it ends before it ever speaks QMP.
  QemuPlatform ending(host);
  EXPECT_EQ(startOn(ending), "QEMU exited with status 1");
  host.installation = Error{"QEMU not found (looked for ...)"};
  QemuPlatform missing(host);
  EXPECT_EQ(startOn(missing), "QEMU not found (looked for ...)");
}

// Records what a machine tells its delegate.
class DelegateRecorder : public MachineDelegate {
 public:
  void guestDidStop() override { record("guest stopped"); }
  void didStopWithError(const Error& error) override { record("error: " + error.description); }
  void networkAttachmentWasDisconnected(const Error& error) override {
    record("network: " + error.description);
  }

  std::vector<std::string> await(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, qemutest::kPatience, [&] { return seen_.size() >= count; });
    return seen_;
  }

 private:
  void record(std::string what) {
    std::lock_guard<std::mutex> guard(mutex_);
    seen_.push_back(std::move(what));
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
};

bool ask(SerialQueue& queue, const std::function<bool()>& question) {
  bool answer = false;
  queue.sync([&] { answer = question(); });
  return answer;
}

// A stand-in for QEMU that speaks just enough QMP on descriptor 3: it answers every command, and
// after `cont` does what `afterCont` says (shell, replies on 3).
std::string standInQemu(const test::TempDir& dir, const std::string& afterCont) {
  const std::string path = dir / "qemu-stand-in";
  test::writeFile(path, R"(#!/bin/sh
printf '{"QMP":{"version":{},"capabilities":[]}}\n' >&3
while IFS= read -r line <&3; do
  id=$(printf '%s' "$line" | sed -n 's/.*"id":\([0-9]*\).*/\1/p')
  case "$line" in
    *'"query-status"'*) printf '{"return":{"status":"internal-error"},"id":%s}\n' "$id" >&3 ;;
    *'"cont"'*) )" + afterCont +
                            R"( ;;
    *) printf '{"return":{},"id":%s}\n' "$id" >&3 ;;
  esac
done
)");
  ::chmod(path.c_str(), 0755);
  return path;
}

// A guest that QEMU stops by itself ends the machine, reported with QEMU's run state and first
// words; a QEMU that stops answering is ended at its deadline.
TEST_F(FakeHostTest, AGuestStoppedByQemuOrAQemuThatFallsSilentEndsTheMachine) {
  HelperConfig config = configIn(dir);
  test::writeFile(config.diskPath, std::string(512, '\0'));
  test::writeFile(config.seedPath, std::string(512, '\0'));
  host.deadlines = {5, 0.2};
  SerialQueue queue("test.machine");
  DelegateRecorder delegate;
  auto startWith = [&](const std::string& afterCont) {
    host.installation->emulator = standInQemu(dir, afterCont);
    QemuPlatform platform(host);
    auto built = buildConfiguration(config, platform);
    EXPECT_TRUE(built.ok());
    std::unique_ptr<Machine> machine;
    queue.sync([&] {
      machine = platform.createMachine(std::move(*built), queue);
      machine->setDelegate(&delegate);
    });
    auto error = qemutest::completeOn(queue, [&](Completion done) { machine->start(done); });
    return std::make_pair(std::move(machine), error ? error->description : "running");
  };

  auto [stopped, started] = startWith(
      R"(printf '{"return":{},"id":%s}\n{"event":"RESUME"}\n' "$id" >&3
        echo 'KVM internal error. Suberror: 1' >&2; echo 'extra data[0]: 0x1' >&2
        sleep 0.2; printf '{"event":"STOP"}\n' >&3)");
  EXPECT_EQ(started, "running");
  EXPECT_THAT(delegate.await(1),
              ElementsAre("error: internal-error: KVM internal error. Suberror: 1"));
  EXPECT_FALSE(ask(queue, [&] { return stopped->canPause(); }));
  queue.sync([&] { stopped.reset(); });

  auto [silent, failure] = startWith(":");
  EXPECT_EQ(failure, "QEMU did not answer \"cont\" within 0.2 seconds");
  queue.sync([&] { silent.reset(); });
}

// Machines of this host's real QEMU, on a blank disk.
class QemuMachineTest : public testing::Test {
 protected:
  void SetUp() override {
    host_ = QemuHost::detect();
    ASSERT_TRUE(host_.installation.ok())
        << host_.installation.error().description << " (run scripts/install-deps.sh)";
    platform_ = std::make_unique<QemuPlatform>(host_);
  }

  // A machine in `dir` on the disk at `disk`, created on `queue`.
  std::unique_ptr<Machine> machineIn(const test::TempDir& dir, const std::string& disk,
                                     SerialQueue& queue) {
    HelperConfig config = configIn(dir);
    config.diskPath = disk;
    if (!test::fileExists(disk)) test::writeFile(disk, std::string(kMiB, '\0'));
    if (!test::fileExists(config.seedPath)) test::writeFile(config.seedPath, "");
    auto built = buildConfiguration(config, *platform_);
    if (!built) throw std::runtime_error(built.error().description);
    std::unique_ptr<Machine> machine;
    queue.sync([&] {
      machine = platform_->createMachine(std::move(*built), queue);
      machine->setDelegate(&delegate_);
    });
    return machine;
  }

  // Machines end on their queue, as the contract asks.
  static void destroy(SerialQueue& queue, std::unique_ptr<Machine>& machine) {
    queue.sync([&] { machine.reset(); });
  }

  QemuHost host_;
  std::unique_ptr<QemuPlatform> platform_;
  DelegateRecorder delegate_;
};

using qemutest::completeOn;

// A machine starts, pauses and saves a private state file, and ends its QEMU with it; a new
// machine restores that state in a new QEMU, paused until resumed.
TEST_F(QemuMachineTest, SavesAndRestoresInANewProcessAndEndsItsQemuWithIt) {
  SerialQueue queue("test.machine");
  test::TempDir dir;
  const std::string state = dir / "state.part";
  {
    auto machine = machineIn(dir, dir / "disk.img", queue);
    Machine& vm = *machine;
    ASSERT_EQ(completeOn(queue, [&](Completion done) { vm.start(done); }), std::nullopt);
    EXPECT_THAT(qemutest::qemuProcessesWith(dir.path()), SizeIs(1));
    ASSERT_EQ(completeOn(queue, [&](Completion done) { vm.pause(done); }), std::nullopt);
    EXPECT_FALSE(ask(queue, [&] { return vm.canPause() || vm.canRequestStop(); }));
    ASSERT_EQ(completeOn(queue, [&](Completion done) { vm.saveMachineState(state, done); }),
              std::nullopt);
    // QEMU's migration stream, which begins with the magic "QEVM".
    EXPECT_THAT(test::readFileOrEmpty(state), StartsWith("QEVM"));
    struct stat info;
    ASSERT_EQ(::stat(state.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);  // guest memory is nobody else's business
    destroy(queue, machine);
  }
  EXPECT_THAT(qemutest::awaitNoQemuWith(dir.path()), IsEmpty());
  EXPECT_THAT(delegate_.await(0), IsEmpty());  // ending the machine is no stop of the guest

  auto machine = machineIn(dir, dir / "disk.img", queue);
  Machine& vm = *machine;
  ASSERT_EQ(completeOn(queue, [&](Completion done) { vm.restoreMachineState(state, done); }),
            std::nullopt);
  EXPECT_FALSE(ask(queue, [&] { return vm.canPause(); }));
  ASSERT_EQ(completeOn(queue, [&](Completion done) { vm.resume(done); }), std::nullopt);
  EXPECT_TRUE(ask(queue, [&] { return vm.canPause() && vm.canRequestStop(); }));
  destroy(queue, machine);
}

TEST_F(QemuMachineTest, AFailedRestoreEndsItsQemuAndTheNextStartLaunchesANewOne) {
  SerialQueue queue("test.machine");
  test::TempDir dir;
  auto machine = machineIn(dir, dir / "disk.img", queue);
  Machine& vm = *machine;

  auto missing =
      completeOn(queue, [&](Completion done) { vm.restoreMachineState(dir / "no-state", done); });
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->description,
            "cannot open \"" + (dir / "no-state") + "\": No such file or directory");

  test::writeFile(dir / "garbage", "this is not a saved machine\n");
  auto garbage =
      completeOn(queue, [&](Completion done) { vm.restoreMachineState(dir / "garbage", done); });
  ASSERT_TRUE(garbage.has_value());
  EXPECT_THAT(garbage->description, StartsWith("Not a migration stream"));
  // The failure is reported once that QEMU has ended.
  EXPECT_THAT(qemutest::qemuProcessesWith(dir.path()), IsEmpty());

  ASSERT_EQ(completeOn(queue, [&](Completion done) { vm.start(done); }), std::nullopt);
  EXPECT_THAT(qemutest::qemuProcessesWith(dir.path()), SizeIs(1));
  EXPECT_TRUE(ask(queue, [&] { return vm.canPause(); }));
  destroy(queue, machine);
  EXPECT_THAT(delegate_.await(0), IsEmpty());
}

TEST_F(QemuMachineTest, AnImageInUseFailsTheStartWithQemusReason) {
  SerialQueue queue("test.machine");
  test::TempDir first;
  test::TempDir second;
  const std::string disk = first / "disk.img";
  auto owner = machineIn(first, disk, queue);
  ASSERT_EQ(completeOn(queue, [&](Completion done) { owner->start(done); }), std::nullopt);

  auto intruder = machineIn(second, disk, queue);
  auto refused = completeOn(queue, [&](Completion done) { intruder->start(done); });
  ASSERT_TRUE(refused.has_value());
  EXPECT_THAT(refused->description, HasSubstr("Failed to get \"write\" lock"));
  EXPECT_THAT(refused->description, HasSubstr("Is another process using the image [" + disk));
  EXPECT_FALSE(ask(queue, [&] { return intruder->canPause(); }));
  EXPECT_TRUE(ask(queue, [&] { return owner->canPause(); }));
  destroy(queue, intruder);
  destroy(queue, owner);
}

TEST_F(QemuMachineTest, AQemuEndedFromOutsideIsAStopWithItsOwnWords) {
  SerialQueue queue("test.machine");
  test::TempDir dir;
  auto machine = machineIn(dir, dir / "disk.img", queue);
  ASSERT_EQ(completeOn(queue, [&](Completion done) { machine->start(done); }), std::nullopt);
  auto running = qemutest::qemuProcessesWith(dir.path());
  ASSERT_THAT(running, SizeIs(1));

  ASSERT_EQ(::kill(running.front(), SIGTERM), 0);
  auto seen = delegate_.await(1);
  ASSERT_THAT(seen, SizeIs(1));
  EXPECT_THAT(seen[0],
              StartsWith("error: terminating on signal 15 from pid " + std::to_string(::getpid())));
  EXPECT_FALSE(ask(queue, [&] { return machine->canPause() || machine->canRequestStop(); }));
  destroy(queue, machine);
}

// Operations out of turn fail without launching QEMU; a save that cannot create its file leaves
// the machine paused, and it resumes.
// The probe behind the accelerator decision, on this host's KVM: QEMU's default model starts,
// and a refusal comes back in QEMU's words.
TEST_F(QemuMachineTest, ACpuModelProbeStartsQemuUnderKvmOrSaysWhyNot) {
  if (UniqueFd kvm(::open("/dev/kvm", O_RDWR | O_CLOEXEC)); !kvm.valid()) {
    GTEST_SKIP() << "no usable /dev/kvm";
  }
  EXPECT_EQ(tryKvmCpuModel(*host_.installation, "qemu64"), "");
  EXPECT_EQ(tryKvmCpuModel(*host_.installation, "no-such-model"),
            "unable to find CPU model 'no-such-model'");
}

TEST_F(QemuMachineTest, OperationsOutOfTurnFailWithoutTouchingQemu) {
  SerialQueue queue("test.machine");
  test::TempDir dir;
  auto machine = machineIn(dir, dir / "disk.img", queue);
  Machine& vm = *machine;
  auto description = [&](const std::function<void(Completion)>& operation) {
    auto error = completeOn(queue, operation);
    return error ? error->description : "success";
  };

  EXPECT_EQ(description([&](Completion done) { vm.pause(done); }), "the machine is not running");
  EXPECT_EQ(description([&](Completion done) { vm.saveMachineState(dir / "s", done); }),
            "the machine is not paused");
  EXPECT_THAT(qemutest::qemuProcessesWith(dir.path()), IsEmpty());
  EXPECT_FALSE(test::fileExists(dir / "s"));

  ASSERT_EQ(description([&](Completion done) { vm.start(done); }), "success");
  EXPECT_EQ(description([&](Completion done) { vm.restoreMachineState(dir / "s", done); }),
            "the machine is already running");
  ASSERT_EQ(description([&](Completion done) { vm.pause(done); }), "success");
  EXPECT_EQ(description([&](Completion done) { vm.saveMachineState(dir / "no/such/dir", done); }),
            "cannot create \"" + (dir / "no/such/dir") + "\": No such file or directory");
  EXPECT_EQ(description([&](Completion done) { vm.resume(done); }), "success");
  EXPECT_THAT(qemutest::qemuProcessesWith(dir.path()), SizeIs(1));
  destroy(queue, machine);
}

}  // namespace
}  // namespace tovan
