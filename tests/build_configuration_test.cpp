// buildConfiguration against the simulated platform, in a temporary directory: which files it
// creates or leaves alone, the machine it describes, and the log events it emits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "machine/build_configuration.h"
#include "platform/sim/sim_platform.h"
#include "support/child_process.h"
#include "support/stdout_capture.h"

namespace tovan {
namespace {

using ::testing::ElementsAre;
using testing::fileExists;
using ::testing::IsEmpty;
using testing::readFileOrEmpty;
using ::testing::StartsWith;
using testing::writeFile;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

std::string logLine(const std::string& text) {
  return "{\"event\":\"log\",\"line\":\"" + text + "\"}";
}

// Owns the platform, a directory with an empty (healthy) disk image and a seed, and a
// configuration whose per-machine files do not exist yet.
class BuildConfigurationTest : public ::testing::Test {
 protected:
  BuildConfigurationTest() {
    writeFile(dir_ / "disk.img", "");
    writeFile(dir_ / "seed.img", "");
    config_.diskPath = dir_ / "disk.img";
    config_.seedPath = dir_ / "seed.img";
    config_.efiStorePath = dir_ / "efi.store";
    config_.machineIdentifierPath = dir_ / "machine.id";
    config_.consoleLogPath = dir_ / "console.log";
    config_.macAddress = "02:00:5e:10:00:01";
    config_.cpuCount = 2;
    config_.memoryMib = 2048;
    config_.savePath = dir_ / "state.vzsave";
  }

  // Builds, keeping every line emitted meanwhile in `events_`.
  Result<MachineConfiguration> build() {
    testing::StdoutCapture capture;
    Result<MachineConfiguration> built = buildConfiguration(config_, platform_);
    events_ = capture.finishLines();
    return built;
  }

  // Builds and expects success without a description.
  MachineConfiguration buildOk() {
    Result<MachineConfiguration> built = build();
    EXPECT_TRUE(built) << built.error().description;
    return built ? *built : MachineConfiguration{};
  }

  std::string buildError() {
    Result<MachineConfiguration> built = build();
    return built ? "built" : built.error().description;
  }

  testing::TempDir dir_;
  SimPlatform platform_;
  HelperConfig config_;
  std::vector<std::string> events_;
};

// Given nothing but the images: one build makes the identifier file, the EFI store and an empty
// console log, and describes the whole machine, without events.
TEST_F(BuildConfigurationTest, FirstBuildCreatesTheMachineFilesAndDescribesTheMachine) {
  MachineConfiguration machine = buildOk();
  EXPECT_THAT(events_, IsEmpty());
  EXPECT_EQ(readFileOrEmpty(config_.machineIdentifierPath),
            machine.machineIdentifier.dataRepresentation);
  EXPECT_TRUE(platform_.machineIdentifierFromData(machine.machineIdentifier.dataRepresentation));
  EXPECT_THAT(readFileOrEmpty(config_.efiStorePath), StartsWith("tovan-sim EFI variable store"));
  EXPECT_EQ(machine.efiVariableStorePath, config_.efiStorePath);
  EXPECT_TRUE(fileExists(config_.consoleLogPath));
  EXPECT_EQ(readFileOrEmpty(config_.consoleLogPath), "");

  EXPECT_EQ(machine.cpuCount, 2);
  EXPECT_EQ(machine.memorySize, 2048 * kMiB);
  ASSERT_EQ(machine.storageDevices.size(), 2u);
  const StorageDevice& disk = machine.storageDevices[0];
  const StorageDevice& seed = machine.storageDevices[1];
  EXPECT_EQ(disk.path, config_.diskPath);
  EXPECT_EQ(disk.access, DiskAccess::readWrite);
  EXPECT_EQ(disk.caching, DiskCaching::automatic);
  EXPECT_EQ(disk.synchronization, DiskSynchronization::full);
  EXPECT_EQ(seed.path, config_.seedPath);
  EXPECT_EQ(seed.access, DiskAccess::readOnly);
  ASSERT_EQ(machine.networkDevices.size(), 1u);
  EXPECT_EQ(machine.networkDevices[0].macAddress,
            (MacAddress{{0x02, 0x00, 0x5e, 0x10, 0x00, 0x01}}));
  ASSERT_EQ(machine.serialPorts.size(), 1u);
  EXPECT_EQ(machine.serialPorts[0].logPath, config_.consoleLogPath);
  EXPECT_EQ(machine.entropyDevices, 0);
  EXPECT_EQ(machine.memoryBalloonDevices, 1);
}

// Given the files of an earlier build: a second build reads the same identifier back and
// writes nothing to the identifier file or the EFI store (their times stay where the test put
// them, and they are the same files).
TEST_F(BuildConfigurationTest, LaterBuildReusesTheFilesWithoutWriting) {
  const std::string identifier = buildOk().machineIdentifier.dataRepresentation;
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  struct stat before[2];
  const std::string* paths[2] = {&config_.machineIdentifierPath, &config_.efiStorePath};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(::utimensat(AT_FDCWD, paths[i]->c_str(), past, 0), 0);
    ASSERT_EQ(::stat(paths[i]->c_str(), &before[i]), 0);
  }
  const std::string store = readFileOrEmpty(config_.efiStorePath);

  EXPECT_EQ(buildOk().machineIdentifier.dataRepresentation, identifier);
  for (int i = 0; i < 2; ++i) {
    struct stat after;
    ASSERT_EQ(::stat(paths[i]->c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before[i].st_ino) << *paths[i];
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000) << *paths[i];
  }
  EXPECT_EQ(readFileOrEmpty(config_.machineIdentifierPath), identifier);
  EXPECT_EQ(readFileOrEmpty(config_.efiStorePath), store);
}

// Given an identifier file that is empty, garbage or a cut-off identifier: it is replaced by a
// fresh identifier, silently, and the build succeeds.
TEST_F(BuildConfigurationTest, UnusableIdentifierIsReplacedSilently) {
  const std::string valid = platform_.newMachineIdentifier().dataRepresentation;
  for (const std::string& stored : {std::string(), std::string("garbage\n"), valid.substr(0, 30)}) {
    writeFile(config_.machineIdentifierPath, stored);
    MachineConfiguration machine = buildOk();
    EXPECT_THAT(events_, IsEmpty());
    EXPECT_NE(machine.machineIdentifier.dataRepresentation, stored);
    EXPECT_EQ(readFileOrEmpty(config_.machineIdentifierPath),
              machine.machineIdentifier.dataRepresentation);
    EXPECT_TRUE(
        platform_.machineIdentifierFromData(readFileOrEmpty(config_.machineIdentifierPath)));
  }
}

// Given an identifier path in a missing directory: the build fails with the write's error, and
// neither the EFI store nor the console log has been created.
TEST_F(BuildConfigurationTest, UnwritableIdentifierFailsBeforeAnyOtherFile) {
  config_.machineIdentifierPath = dir_ / "missing/machine.id";
  EXPECT_EQ(buildError(),
            "cannot create \"" + config_.machineIdentifierPath + "\": No such file or directory");
  EXPECT_FALSE(fileExists(config_.efiStorePath));
  EXPECT_FALSE(fileExists(config_.consoleLogPath));
}

// Given anything at the EFI store path (a foreign file, even a directory): it is used as the
// store, untouched; a store that cannot be created fails the build with the platform's text.
TEST_F(BuildConfigurationTest, ExistingEfiEntryIsUsedAsIs) {
  writeFile(config_.efiStorePath, "not an EFI store at all");
  EXPECT_EQ(buildOk().efiVariableStorePath, config_.efiStorePath);
  EXPECT_EQ(readFileOrEmpty(config_.efiStorePath), "not an EFI store at all");

  config_.efiStorePath = dir_ / "a-directory";
  ASSERT_EQ(::mkdir(config_.efiStorePath.c_str(), 0755), 0);
  EXPECT_EQ(buildOk().efiVariableStorePath, config_.efiStorePath);

  config_.efiStorePath = dir_ / "missing/efi.store";
  ::unlink(config_.consoleLogPath.c_str());
  EXPECT_EQ(buildError(), "cannot create EFI variable store at \"" + config_.efiStorePath +
                              "\": No such file or directory");
  EXPECT_FALSE(fileExists(config_.consoleLogPath));
}

// Given CPU counts and memory sizes at and beyond the platform's limits (1..64 CPUs, 64 MiB ..
// 1 TiB): each is clamped into range, silently.
TEST_F(BuildConfigurationTest, CpuAndMemoryAreClampedIntoTheLimits) {
  const std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
  const std::pair<std::int64_t, std::int64_t> cpus[] = {{0, 1},   {-3, 1},  {kInt64Min, 1}, {1, 1},
                                                        {64, 64}, {65, 64}, {kInt64Max, 64}};
  for (auto [requested, expected] : cpus) {
    config_.cpuCount = requested;
    EXPECT_EQ(buildOk().cpuCount, expected) << requested;
  }
  const std::pair<std::uint64_t, std::uint64_t> memory[] = {
      {0, 64 * kMiB},
      {1, 64 * kMiB},
      {64, 64 * kMiB},
      {4096, 4096 * kMiB},
      {kMiB, kMiB * kMiB},
      {kMiB + 1, kMiB * kMiB},
      {(std::uint64_t{1} << 44) - 1, kMiB * kMiB}};
  for (auto [requested, expected] : memory) {
    config_.memoryMib = requested;
    EXPECT_EQ(buildOk().memorySize, expected) << requested;
  }
  EXPECT_THAT(events_, IsEmpty());
}

// Given memory sizes whose byte count does not fit in 64 bits: the build is refused; in
// particular 2^44 + 64 MiB, which would wrap around to a valid 64 MiB, is not built.
TEST_F(BuildConfigurationTest, MemoryBeyondSixtyFourBitsIsRefusedNotWrapped) {
  for (std::uint64_t mib : {std::uint64_t{1} << 44, (std::uint64_t{1} << 44) + 64,
                            std::numeric_limits<std::uint64_t>::max()}) {
    config_.memoryMib = mib;
    EXPECT_EQ(buildError(),
              "memory size of " + std::to_string(mib) + " MiB is too large to express in bytes");
  }
}

// Given MAC addresses that do not parse: the machine still has its one network device, without
// an address of ours, and nothing is reported.
TEST_F(BuildConfigurationTest, MalformedMacLeavesTheDeviceWithoutAddress) {
  for (const char* mac :
       {"", "zz:00:00:00:00:01", "02:00:00:00:00", "02:00:00:00:00:01:02", "02-00-00-00-00-01"}) {
    config_.macAddress = mac;
    MachineConfiguration machine = buildOk();
    ASSERT_EQ(machine.networkDevices.size(), 1u) << mac;
    EXPECT_EQ(machine.networkDevices[0].macAddress, std::nullopt) << mac;
    EXPECT_THAT(events_, IsEmpty()) << mac;
  }
}

// Given a console log in a missing directory: exactly one log event naming the path as
// configured, no serial port, and the build succeeds.
TEST_F(BuildConfigurationTest, UnopenableConsoleLogDisablesLoggingWithOneEvent) {
  config_.consoleLogPath = dir_ / "missing/console.log";
  MachineConfiguration machine = buildOk();
  EXPECT_THAT(events_, ElementsAre(logLine("console logging disabled (cannot open " +
                                           config_.consoleLogPath + ")")));
  EXPECT_THAT(machine.serialPorts, IsEmpty());
}

// Given an older, longer console log: it is opened at byte 0 without truncation, so new output
// overwrites its start and the rest stays.
TEST_F(BuildConfigurationTest, ExistingConsoleLogIsNotTruncated) {
  writeFile(config_.consoleLogPath, std::string(200, 'o'));
  MachineConfiguration machine = buildOk();
  ASSERT_EQ(machine.serialPorts.size(), 1u);
  const int fd = machine.serialPorts[0].log->get();
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
  ASSERT_EQ(::write(fd, "new", 3), 3);
  EXPECT_EQ(readFileOrEmpty(config_.consoleLogPath), "new" + std::string(197, 'o'));
}

// Given a macOS 14 host whose save/restore check fails: exactly one event with the platform's
// description, no balloon and no entropy device, and the build succeeds.
TEST_F(BuildConfigurationTest, FailedSaveRestoreCheckDropsTheBalloon) {
  writeFile(config_.diskPath, "fail save-restore-validation Rosetta directory share\n");
  MachineConfiguration machine = buildOk();
  EXPECT_THAT(events_, ElementsAre(logLine("save/restore validation: Rosetta directory share; "
                                           "dropping memory balloon")));
  EXPECT_EQ(machine.memoryBalloonDevices, 0);
  EXPECT_EQ(machine.entropyDevices, 0);
}

// Given a macOS 13 host: no save/restore check at all (a scripted failure of it never shows),
// and both the entropy device and the balloon are present.
TEST_F(BuildConfigurationTest, OldHostKeepsEntropyAndBalloonWithoutCheck) {
  writeFile(config_.diskPath, "host macos-13\nfail save-restore-validation never asked\n");
  MachineConfiguration machine = buildOk();
  EXPECT_THAT(events_, IsEmpty());
  EXPECT_EQ(machine.entropyDevices, 1);
  EXPECT_EQ(machine.memoryBalloonDevices, 1);
}

// Given a missing disk or seed image, or a disk whose script is malformed: the build fails with
// the platform's text, after the identifier file and the EFI store exist.
TEST_F(BuildConfigurationTest, UnattachableImagesFailAfterTheMachineFiles) {
  config_.diskPath = dir_ / "no-disk.img";
  EXPECT_EQ(buildError(),
            "cannot open disk image \"" + config_.diskPath + "\": No such file or directory");
  EXPECT_TRUE(platform_.machineIdentifierFromData(readFileOrEmpty(config_.machineIdentifierPath)));
  EXPECT_TRUE(fileExists(config_.efiStorePath));
  EXPECT_FALSE(fileExists(config_.consoleLogPath));

  config_.diskPath = dir_ / "disk.img";
  config_.seedPath = dir_ / "no-seed.img";
  EXPECT_EQ(buildError(),
            "cannot open disk image \"" + config_.seedPath + "\": No such file or directory");

  config_.seedPath = dir_ / "seed.img";
  writeFile(config_.diskPath, "boot fast\n");
  EXPECT_THAT(buildError(), StartsWith("sim script line 1: \"fast\" is not a duration"));
}

// Given a platform that rejects the finished machine: the build fails with its text, after the
// non-fatal events of the earlier steps.
TEST_F(BuildConfigurationTest, FinalValidationFailureComesAfterEarlierEvents) {
  writeFile(config_.diskPath, "fail validate too many devices\n");
  config_.consoleLogPath = dir_ / "missing/console.log";
  EXPECT_EQ(buildError(), "too many devices");
  EXPECT_THAT(events_, ElementsAre(logLine("console logging disabled (cannot open " +
                                           config_.consoleLogPath + ")")));
}

}  // namespace
}  // namespace tovan
