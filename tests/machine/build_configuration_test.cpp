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

using test::fileExists;
using test::readFileOrEmpty;
using test::writeFile;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::StartsWith;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

std::string logLine(const std::string& text) {
  return "{\"event\":\"log\",\"line\":\"" + text + "\"}";
}

// Owns the platform, a directory with an empty (healthy) disk image and a seed, and a
// configuration whose per-machine files do not exist yet.
class BuildConfigurationTest : public testing::Test {
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
    test::StdoutCapture capture;
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

  test::TempDir dir_;
  SimPlatform platform_;
  HelperConfig config_;
  std::vector<std::string> events_;
};

// Given nothing but the images: one build makes the identifier file, the EFI store and an empty
// console log, without events; a later build reads the same identifier back and writes neither
// the identifier file nor the EFI store (their times stay where the test put them).
TEST_F(BuildConfigurationTest, FirstBuildCreatesTheMachineFilesAndLaterOnesReuseThem) {
  MachineConfiguration machine = buildOk();
  EXPECT_THAT(events_, IsEmpty());
  const std::string identifier = machine.machineIdentifier.dataRepresentation;
  EXPECT_EQ(readFileOrEmpty(config_.machineIdentifierPath), identifier);
  EXPECT_TRUE(platform_.machineIdentifierFromData(identifier));
  EXPECT_THAT(readFileOrEmpty(config_.efiStorePath), StartsWith("tovan-sim EFI variable store"));
  EXPECT_EQ(readFileOrEmpty(config_.consoleLogPath), "");
  EXPECT_TRUE(fileExists(config_.consoleLogPath));
  ASSERT_EQ(machine.storageDevices.size(), 2u);
  EXPECT_EQ(machine.storageDevices[0].access, DiskAccess::readWrite);
  EXPECT_EQ(machine.storageDevices[1].access, DiskAccess::readOnly);
  ASSERT_EQ(machine.networkDevices.size(), 1u);
  EXPECT_EQ(machine.networkDevices[0].macAddress,
            (MacAddress{{0x02, 0x00, 0x5e, 0x10, 0x00, 0x01}}));

  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const std::string* path : {&config_.machineIdentifierPath, &config_.efiStorePath}) {
    ASSERT_EQ(::utimensat(AT_FDCWD, path->c_str(), past, 0), 0);
  }
  const std::string store = readFileOrEmpty(config_.efiStorePath);
  EXPECT_EQ(buildOk().machineIdentifier.dataRepresentation, identifier);
  for (const std::string* path : {&config_.machineIdentifierPath, &config_.efiStorePath}) {
    struct stat after;
    ASSERT_EQ(::stat(path->c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000) << *path;
  }
  EXPECT_EQ(readFileOrEmpty(config_.efiStorePath), store);

  // A MAC address that does not parse leaves the one network device without an address.
  config_.macAddress = "02-00-00-00-00-01";
  machine = buildOk();
  ASSERT_EQ(machine.networkDevices.size(), 1u);
  EXPECT_EQ(machine.networkDevices[0].macAddress, std::nullopt);
  EXPECT_THAT(events_, IsEmpty());
}

// Given an identifier file that is empty, garbage or cut off: it is replaced by a fresh one,
// silently. Given one in a missing directory: the build fails with the write's error before the
// EFI store or the console log is created.
TEST_F(BuildConfigurationTest, UnusableIdentifierIsReplacedAndUnwritableOneFailsFirst) {
  const std::string valid = platform_.newMachineIdentifier().dataRepresentation;
  for (const std::string& stored : {std::string(), std::string("garbage\n"), valid.substr(0, 30)}) {
    writeFile(config_.machineIdentifierPath, stored);
    MachineConfiguration machine = buildOk();
    EXPECT_THAT(events_, IsEmpty());
    EXPECT_EQ(readFileOrEmpty(config_.machineIdentifierPath),
              machine.machineIdentifier.dataRepresentation);
    EXPECT_TRUE(platform_.machineIdentifierFromData(machine.machineIdentifier.dataRepresentation));
  }

  test::TempDir fresh;
  config_.efiStorePath = fresh / "efi.store";
  config_.consoleLogPath = fresh / "console.log";
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
// 1 TiB): each is clamped into range, silently. Memory whose byte count does not fit in 64 bits
// is refused; in particular 2^44 + 64 MiB, which would wrap around to a valid 64 MiB.
TEST_F(BuildConfigurationTest, CpuAndMemoryAreClampedAndOverflowIsRefused) {
  const std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
  const std::pair<std::int64_t, std::int64_t> cpus[] = {{kInt64Min, 1}, {0, 1}, {64, 64}, {65, 64}};
  for (auto [requested, expected] : cpus) {
    config_.cpuCount = requested;
    EXPECT_EQ(buildOk().cpuCount, expected) << requested;
  }
  const std::pair<std::uint64_t, std::uint64_t> memory[] = {
      {0, 64 * kMiB}, {4096, 4096 * kMiB}, {(std::uint64_t{1} << 44) - 1, kMiB * kMiB}};
  for (auto [requested, expected] : memory) {
    config_.memoryMib = requested;
    EXPECT_EQ(buildOk().memorySize, expected) << requested;
  }
  EXPECT_THAT(events_, IsEmpty());

  for (std::uint64_t mib : {std::uint64_t{1} << 44, (std::uint64_t{1} << 44) + 64,
                            std::numeric_limits<std::uint64_t>::max()}) {
    config_.memoryMib = mib;
    EXPECT_EQ(buildError(),
              "memory size of " + std::to_string(mib) + " MiB is too large to express in bytes");
  }
}

// Given an older, longer console log: it is opened at byte 0 without truncation, so new output
// overwrites its start and the rest stays. Given one in a missing directory, or a directory or a
// device where the file belongs: exactly one log event naming the path as configured, no serial
// port, and the build succeeds.
TEST_F(BuildConfigurationTest, ConsoleLogIsNotTruncatedAndAnUnopenableOneIsOneEvent) {
  writeFile(config_.consoleLogPath, std::string(200, 'o'));
  MachineConfiguration machine = buildOk();
  ASSERT_EQ(machine.serialPorts.size(), 1u);
  const int fd = machine.serialPorts[0].log->get();
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
  ASSERT_EQ(::write(fd, "new", 3), 3);
  EXPECT_EQ(readFileOrEmpty(config_.consoleLogPath), "new" + std::string(197, 'o'));

  for (const std::string& path :
       {dir_ / "missing/console.log", dir_.path(), std::string("/dev/null")}) {
    config_.consoleLogPath = path;
    machine = buildOk();
    EXPECT_THAT(events_,
                ElementsAre(logLine("console logging disabled (cannot open " + path + ")")));
    EXPECT_THAT(machine.serialPorts, IsEmpty());
  }
}

// Given a macOS 14 host whose save/restore check fails: exactly one event with the platform's
// description, no balloon and no entropy device. Given a macOS 13 host: no check at all (a
// scripted failure of it never shows), and both the entropy device and the balloon are present.
TEST_F(BuildConfigurationTest, SaveRestoreCheckDecidesTheBalloonAndEntropyDevices) {
  writeFile(config_.diskPath, "fail save-restore-validation Rosetta directory share\n");
  MachineConfiguration machine = buildOk();
  EXPECT_THAT(events_, ElementsAre(logLine("save/restore validation: Rosetta directory share; "
                                           "dropping memory balloon")));
  EXPECT_EQ(machine.memoryBalloonDevices, 0);
  EXPECT_EQ(machine.entropyDevices, 0);

  writeFile(config_.diskPath, "host macos-13\nfail save-restore-validation never asked\n");
  machine = buildOk();
  EXPECT_THAT(events_, IsEmpty());
  EXPECT_EQ(machine.entropyDevices, 1);
  EXPECT_EQ(machine.memoryBalloonDevices, 1);
}

// Given a missing disk or seed image: the build fails with the platform's text, after the
// identifier file and the EFI store exist. Given a platform that rejects the finished machine:
// the build fails with its text, after the non-fatal events of the earlier steps.
TEST_F(BuildConfigurationTest, ImageAndValidationFailuresComeAfterTheMachineFiles) {
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
  writeFile(config_.diskPath, "fail validate too many devices\n");
  config_.consoleLogPath = dir_ / "missing/console.log";
  EXPECT_EQ(buildError(), "too many devices");
  EXPECT_THAT(events_, ElementsAre(logLine("console logging disabled (cannot open " +
                                           config_.consoleLogPath + ")")));
}

}  // namespace
}  // namespace tovan
