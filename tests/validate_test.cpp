// `tovan-vmhelper-sim validate --config <file>` as the parent runs it: exact bytes on both
// outputs, the exit status, and the machine files left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/child_process.h"

namespace tovan {
namespace {

using ::testing::AllOf;
using ::testing::Field;
using testing::fileExists;
using testing::Finished;
using testing::writeFile;

::testing::Matcher<const Finished&> finishedWith(int status, const std::string& out,
                                                 const std::string& err) {
  return AllOf(Field("status", &Finished::status, status), Field("out", &Finished::out, out),
               Field("err", &Finished::err, err));
}

// Owns a directory with a healthy disk image and seed and writes helper.json for each run.
class ValidateCommandTest : public ::testing::Test {
 protected:
  ValidateCommandTest() {
    writeFile(dir_ / "disk.img", "");
    writeFile(dir_ / "seed.img", "");
    config_ = {
        {"disk_path", dir_ / "disk.img"},
        {"seed_path", dir_ / "seed.img"},
        {"efi_store_path", dir_ / "efi.store"},
        {"machine_identifier_path", dir_ / "machine.id"},
        {"console_log_path", dir_ / "console.log"},
        {"mac_address", "02:00:5e:10:00:01"},
        {"cpu_count", 2},
        {"memory_mib", 2048},
        {"isolated", false},
        {"save_path", dir_ / "state.vzsave"},
        {"vm_name", "test vm"},
    };
  }

  Finished validate() {
    writeFile(dir_ / "helper.json", config_.dump());
    return testing::runProcess({TOVAN_HELPER_SIM, "validate", "--config", dir_ / "helper.json"});
  }

  std::string missingLogLine() const {
    return "{\"event\":\"log\",\"line\":\"console logging disabled (cannot open " +
           (dir_ / "missing/console.log") + ")\"}\n";
  }

  testing::TempDir dir_;
  nlohmann::json config_;
};

// Given a healthy configuration: "ok" alone on standard output, status 0.
TEST_F(ValidateCommandTest, ValidConfigurationPrintsOk) {
  EXPECT_THAT(validate(), finishedWith(0, "ok\n", ""));
  EXPECT_TRUE(fileExists(dir_ / "machine.id"));
}

// Given a console log in a missing directory: the log event line, then "ok", status 0.
TEST_F(ValidateCommandTest, ConsoleLogInMissingDirectoryStillValidates) {
  config_["console_log_path"] = dir_ / "missing/console.log";
  EXPECT_THAT(validate(), finishedWith(0, missingLogLine() + "ok\n", ""));
}

// Given a missing disk image: nothing on standard output, the failure on standard error, status
// 1, and the identifier file and EFI store exist afterwards.
TEST_F(ValidateCommandTest, MissingDiskFailsAfterCreatingTheMachineFiles) {
  config_["disk_path"] = dir_ / "no-disk.img";
  EXPECT_THAT(validate(),
              finishedWith(1, "",
                           "validation failed: cannot open disk image \"" + dir_.path() +
                               "/no-disk.img\": No such file or directory\n"));
  EXPECT_TRUE(fileExists(dir_ / "machine.id"));
  EXPECT_TRUE(fileExists(dir_ / "efi.store"));
}

// Given a platform that rejects the finished machine: the earlier log line on standard output,
// the failure on standard error, status 1.
TEST_F(ValidateCommandTest, FinalValidationFailureFollowsEarlierLogLines) {
  writeFile(dir_ / "disk.img", "fail validate the configuration is invalid\n");
  config_["console_log_path"] = dir_ / "missing/console.log";
  EXPECT_THAT(validate(), finishedWith(1, missingLogLine(),
                                       "validation failed: the configuration is invalid\n"));
}

}  // namespace
}  // namespace tovan
