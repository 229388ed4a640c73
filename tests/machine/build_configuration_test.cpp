// buildConfiguration on the simulated platform: the files it makes or leaves alone, the machine it
// describes, its events; and the validate command.
#include <sys/stat.h>

#include <filesystem>
#include <limits>

#include "gmock/gmock.h"
#include "machine/build_configuration.h"
#include "platform/sim/sim_platform.h"
#include "support/child_process.h"
#include "support/stdout_capture.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using testing::Field;
using testing::IsEmpty;

std::string noLog(const std::string& path) {
  return R"({"event":"log","line":"console logging disabled (cannot open )" + path + ")\"}";
}

// A platform, healthy (empty) disk and seed images, and machine files not yet made.
class BuildConfigurationTest : public testing::Test {
 protected:
  BuildConfigurationTest() {
    writeFile(config_.diskPath, "");
    writeFile(config_.seedPath, "");
  }

  // Builds, keeping every line emitted meanwhile in `events_`: the machine, or why not.
  Result<MachineConfiguration> build() {
    StdoutCapture capture;
    Result<MachineConfiguration> built = buildConfiguration(config_, platform_);
    events_ = capture.finishLines();
    return built;
  }
  MachineConfiguration built() {
    Result<MachineConfiguration> machine = build();
    EXPECT_TRUE(machine) << machine.error().description;
    return machine ? *machine : MachineConfiguration{};
  }
  std::string failure() {
    Result<MachineConfiguration> machine = build();
    return machine ? "built" : machine.error().description;
  }
  std::string in(std::string_view name) const { return dir_ / name; }

  TempDir dir_;
  SimPlatform platform_;
  // Disk, seed, EFI store, identifier, console log, MAC, CPUs, MiB, isolated, state, name.
  HelperConfig config_{in("disk.img"), in("seed.img"),      in("efi"),   in("id"),
                       in("log"),      "02:00:5e:10:00:01", 2,           2048,
                       false,          in("state"),         std::nullopt};
  std::vector<std::string> events_;
};

// Silently, and the same identifier each time; a MAC address that does not parse gives none.
TEST_F(BuildConfigurationTest, FirstBuildCreatesTheMachineFilesAndLaterOnesReuseThem) {
  MachineConfiguration machine = built();
  EXPECT_THAT(events_, IsEmpty());
  const std::string identifier = machine.machineIdentifier.dataRepresentation;
  EXPECT_EQ(readFileOrEmpty(config_.machineIdentifierPath), identifier);
  EXPECT_TRUE(platform_.machineIdentifierFromData(identifier));
  EXPECT_TRUE(fileExists(config_.efiStorePath) && fileExists(config_.consoleLogPath));
  EXPECT_EQ(readFileOrEmpty(config_.consoleLogPath), "");
  EXPECT_THAT(machine.storageDevices,
              ElementsAre(Field(&StorageDevice::access, DiskAccess::readWrite),
                          Field(&StorageDevice::access, DiskAccess::readOnly)));
  EXPECT_THAT(machine.networkDevices,
              ElementsAre(Field(&NetworkDevice::macAddress, MacAddress{{2, 0, 0x5e, 0x10, 0, 1}})));

  config_.macAddress = "02-00-00-00-00-01";
  machine = built();
  EXPECT_EQ(machine.machineIdentifier.dataRepresentation, identifier);
  EXPECT_THAT(machine.networkDevices, ElementsAre(Field(&NetworkDevice::macAddress, std::nullopt)));
  EXPECT_THAT(events_, IsEmpty());
}

// Silently and without waiting on a FIFO.
TEST_F(BuildConfigurationTest, UnusableIdentifierIsReplacedAndAnyEfiEntryIsUsedAsIs) {
  std::string valid = platform_.newMachineIdentifier().dataRepresentation, flipped = valid;
  flipped[20] = flipped[20] == '0' ? '1' : '0';
  ASSERT_EQ(::mkfifo(config_.machineIdentifierPath.c_str(), 0600), 0);
  for (const std::string& next :
       {std::string(), std::string("garbage\n"), valid.substr(0, 30), valid + "\n", flipped}) {
    const std::string identifier = built().machineIdentifier.dataRepresentation;
    EXPECT_THAT(events_, IsEmpty());
    ASSERT_TRUE(std::filesystem::is_regular_file(config_.machineIdentifierPath));
    EXPECT_EQ(readFileOrEmpty(config_.machineIdentifierPath), identifier);
    EXPECT_TRUE(platform_.machineIdentifierFromData(identifier));
    writeFile(config_.machineIdentifierPath, next);  // the next one to replace
  }
  writeFile(config_.efiStorePath, "not an EFI store at all");
  EXPECT_EQ(built().efiVariableStorePath, config_.efiStorePath);
  EXPECT_EQ(readFileOrEmpty(config_.efiStorePath), "not an EFI store at all");
}

// Identifier, EFI store, disk, seed (a FIFO refused at once), and validation after the events.
TEST_F(BuildConfigurationTest, EachStepFailsInItsOwnWordsBeforeTheLaterStepsFiles) {
  const HelperConfig good = config_;
  auto failureWith = [&](std::string HelperConfig::*file, const std::string& name) {
    config_ = good;
    config_.*file = in(name);
    return failure();
  };
  const std::string missing = "\": No such file or directory";
  EXPECT_EQ(failureWith(&HelperConfig::machineIdentifierPath, "missing/machine.id"),
            "cannot create \"" + in("missing/machine.id") + missing);
  EXPECT_FALSE(fileExists(good.efiStorePath));
  EXPECT_EQ(failureWith(&HelperConfig::efiStorePath, "missing/efi.store"),
            "cannot create EFI variable store at \"" + in("missing/efi.store") + missing);
  EXPECT_EQ(failureWith(&HelperConfig::diskPath, "no-disk.img"),
            "cannot open disk image \"" + in("no-disk.img") + missing);
  EXPECT_TRUE(platform_.machineIdentifierFromData(readFileOrEmpty(good.machineIdentifierPath)));
  EXPECT_TRUE(fileExists(good.efiStorePath));
  EXPECT_FALSE(fileExists(good.consoleLogPath));
  ASSERT_EQ(::mkfifo(in("fifo").c_str(), 0600), 0);
  EXPECT_EQ(failureWith(&HelperConfig::seedPath, "fifo"),
            "cannot open disk image \"" + in("fifo") + "\": not a regular file or block device");
  writeFile(good.diskPath, "fail validate too many devices\n");
  EXPECT_EQ(failureWith(&HelperConfig::consoleLogPath, "missing/console.log"), "too many devices");
  EXPECT_THAT(events_, ElementsAre(noLog(in("missing/console.log"))));
}

// To 1..64 CPUs and 64 MiB..1 TiB, silently; 2^44 MiB and more do not fit in 64 bits of bytes
// (2^44 + 64 MiB would wrap to 64 MiB).
TEST_F(BuildConfigurationTest, CpuAndMemoryAreClampedAndOverflowIsRefused) {
  const std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
  for (auto [requested, expected] : {std::pair{kInt64Min, 1}, {0, 1}, {64, 64}, {65, 64}}) {
    config_.cpuCount = requested;
    EXPECT_EQ(built().cpuCount, expected) << requested;
  }
  constexpr std::uint64_t kMiB = 1 << 20;
  const std::pair<std::uint64_t, std::uint64_t> memory[] = {
      {0, 64 * kMiB}, {4096, 4096 * kMiB}, {(std::uint64_t{1} << 44) - 1, kMiB * kMiB}};
  for (auto [requested, expected] : memory) {
    config_.memoryMib = requested;
    EXPECT_EQ(built().memorySize, expected) << requested;
  }
  EXPECT_THAT(events_, IsEmpty());
  for (std::uint64_t mib : {std::uint64_t{1} << 44, (std::uint64_t{1} << 44) + 64,
                            std::numeric_limits<std::uint64_t>::max()}) {
    config_.memoryMib = mib;
    EXPECT_EQ(failure(),
              "memory size of " + std::to_string(mib) + " MiB is too large to express in bytes");
  }
}

// In a missing directory, or a directory, a device or a FIFO in its place: one event naming the
// path as configured, no serial port, no wait.
TEST_F(BuildConfigurationTest, AConsoleLogThatCannotBeOpenedIsOneEvent) {
  ASSERT_EQ(::mkfifo(in("fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {in("missing/console.log"), dir_.path(), std::string("/dev/null"), in("fifo")}) {
    config_.consoleLogPath = path;
    EXPECT_THAT(built().serialPorts, IsEmpty());
    EXPECT_THAT(events_, ElementsAre(noLog(path)));
  }
}

// On a macOS 14 host whose save/restore check fails: one event with the platform's words, neither
// balloon nor entropy device. On macOS 13: no check at all, and both devices.
TEST_F(BuildConfigurationTest, SaveRestoreCheckDecidesTheBalloonAndEntropyDevices) {
  writeFile(config_.diskPath, "fail save-restore-validation Rosetta directory share\n");
  MachineConfiguration machine = built();
  EXPECT_THAT(events_, ElementsAre(R"({"event":"log","line":"save/restore validation: Rosetta )"
                                   R"(directory share; dropping memory balloon"})"));
  EXPECT_EQ(std::tie(machine.memoryBalloonDevices, machine.entropyDevices), std::tuple(0, 0));
  writeFile(config_.diskPath, "host macos-13\nfail save-restore-validation never asked\n");
  machine = built();
  EXPECT_THAT(events_, IsEmpty());
  EXPECT_EQ(std::tie(machine.memoryBalloonDevices, machine.entropyDevices), std::tuple(1, 1));
}

// `validate` says "ok" (status 0), or after the events "validation failed: " on stderr (status 1).
TEST(ValidateCommand, PrintsOkOrWhyNotAfterTheEvents) {
  TempDir dir;
  writeFile(dir / "ok.img", "");
  writeFile(dir / "bad.img", "fail validate the configuration is invalid\n");
  auto validate = [&](const std::string& disk, const std::string& log) {
    writeFile(
        dir / "helper.json",
        R"({"disk_path":")" + disk + R"(","console_log_path":")" + log +
            R"(","seed_path":"ok.img","efi_store_path":"efi","machine_identifier_path":"id",)"
            R"("mac_address":"","cpu_count":1,"memory_mib":64,"isolated":true,"save_path":"s"})");
    Finished run =
        runProcess({TOVAN_HELPER_SIM, "validate", "--config", "helper.json"}, "", dir.path());
    return std::to_string(run.status) + " [" + run.out + "] [" + run.err + "]";
  };
  EXPECT_EQ(validate("ok.img", "log"), "0 [ok\n] []");
  EXPECT_EQ(validate("bad.img", "no/log"),
            "1 [" + noLog("no/log") + "\n] [validation failed: the configuration is invalid\n]");
}

}  // namespace
}  // namespace tovan::test
