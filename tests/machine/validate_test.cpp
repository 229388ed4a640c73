// `tovan-vmhelper-sim validate --config <file>` as the parent runs it: exact bytes on both
// outputs, the exit status, and the machine files left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "support/child_process.h"

namespace tovan {
namespace {

using test::Finished;
using test::writeFile;
using testing::AllOf;
using testing::Field;
using testing::StartsWith;

testing::Matcher<const Finished&> finishedWith(int status, const std::string& out,
                                               const std::string& err) {
  return AllOf(Field("status", &Finished::status, status), Field("out", &Finished::out, out),
               Field("err", &Finished::err, err));
}

// Owns a directory with a healthy disk image and seed and writes helper.json for each run.
class ValidateCommandTest : public testing::Test {
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
    return test::runProcess({TOVAN_HELPER_SIM, "validate", "--config", dir_ / "helper.json"});
  }

  static std::string noLogLine(const std::string& path) {
    return "{\"event\":\"log\",\"line\":\"console logging disabled (cannot open " + path + ")\"}\n";
  }

  test::TempDir dir_;
  nlohmann::json config_;
};

// Given a healthy configuration but for one path: the outcome is decided at once, whatever is
// at the path (a FIFO that nobody opens never holds the helper up). A console log that cannot be
// a file is one log event, then "ok"; a missing disk, or a seed that is not a disk image, fails
// the attach; an identifier that cannot be read is replaced by a fresh one in a regular file, as
// a corrupt one would be.
TEST_F(ValidateCommandTest, WhatIsAtAPathDecidesTheOutcomeWithoutWaiting) {
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string missingLog = dir_ / "missing/console.log";
  struct Case {
    const char* key;
    std::string path;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {"save_path", dir_ / "state.vzsave", 0, "ok\n", ""},  // all healthy
      {"disk_path", dir_ / "no-disk.img", 1, "",
       "validation failed: cannot open disk image \"" + (dir_ / "no-disk.img") +
           "\": No such file or directory\n"},
      {"console_log_path", missingLog, 0, noLogLine(missingLog) + "ok\n", ""},
      {"console_log_path", fifo, 0, noLogLine(fifo) + "ok\n", ""},
      {"seed_path", fifo, 1, "",
       "validation failed: cannot open disk image \"" + fifo +
           "\": not a regular file or block device\n"},
      {"machine_identifier_path", fifo, 0, "ok\n", ""},  // last: the FIFO is gone afterwards
  };
  for (const Case& c : cases) {
    const nlohmann::json healthy = config_[c.key];
    config_[c.key] = c.path;
    EXPECT_THAT(validate(), finishedWith(c.status, c.out, c.err)) << c.key << " at " << c.path;
    config_[c.key] = healthy;
  }
  struct stat info;
  ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
  ASSERT_TRUE(S_ISREG(info.st_mode));
  EXPECT_THAT(test::readFileOrEmpty(fifo), StartsWith("tovan-sim-id:"));
}

// Given a platform that rejects the finished machine: the earlier log line on standard output,
// the failure on standard error, status 1.
TEST_F(ValidateCommandTest, FinalValidationFailureFollowsEarlierLogLines) {
  writeFile(dir_ / "disk.img", "fail validate the configuration is invalid\n");
  config_["console_log_path"] = dir_ / "missing/console.log";
  EXPECT_THAT(validate(), finishedWith(1, noLogLine(dir_ / "missing/console.log"),
                                       "validation failed: the configuration is invalid\n"));
}

}  // namespace
}  // namespace tovan
