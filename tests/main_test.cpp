// The command line as the parent app and a person at a terminal meet it: exact bytes on both
// outputs and the exit status, from the built executable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace tovan {
namespace {

using test::Finished;
using test::runProcess;
using test::TempDir;

const std::string kHelper = TOVAN_HELPER_SIM;

const std::string kHelpText =
    "tovan-vmhelper 0.3.3 \xe2\x80\x94 Tovan VM helper for macOS (Apple Virtualization)\n"
    "\n"
    "This is plumbing: the Tovan app spawns it (one process per local VM) and\n"
    "drives it over stdin/stdout NDJSON. It is not meant to manage VMs by itself \xe2\x80\x94\n"
    "a VM's lifecycle, snapshots, and login keys are owned by the app, so manage\n"
    "local VMs from the Tovan app or with its headless CLI:\n"
    "\n"
    "  tovan-gui vm list\n"
    "  tovan-gui vm create <name> [--host <server>]\n"
    "  tovan-gui vm start|stop <name>\n"
    "\n"
    "(On a Linux VM host, the Linux build of this helper has the management CLI\n"
    "itself: `tovan-vmhelper list|start|stop|\xe2\x80\xa6` \xe2\x80\x94 run `tovan-vmhelper help` "
    "there.)\n"
    "\n"
    "PLUMBING COMMANDS (invoked by the Tovan app):\n"
    "  run       --config <helper.json>   Boot the VM, stream NDJSON events\n"
    "  validate  --config <helper.json>   Check the config without booting\n"
    "  help                               Show this help\n"
    "  version                            Print the helper version";

Finished run(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), kHelper);
  return runProcess(arguments);
}

TEST(HelpText, HasNineteenLinesWithTheCommandDescriptionsAtColumn38) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = kHelpText.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(kHelpText.substr(start, end - start));
  }
  lines.push_back(kHelpText.substr(start));
  ASSERT_EQ(lines.size(), 19u);
  for (int i : {1, 6, 10, 13}) EXPECT_EQ(lines[i], "") << "line " << i + 1;
  for (int i = 15; i < 19; ++i) EXPECT_NE(lines[i][37], ' ') << lines[i];
  for (int i = 15; i < 19; ++i) EXPECT_EQ(lines[i][36], ' ') << lines[i];
  EXPECT_EQ(kHelpText.find('\t'), std::string::npos);
}

TEST(CommandLine, VersionAndHelpWordsPrintOnStandardOutput) {
  for (const char* word : {"version", "--version", "-V"}) {
    Finished result = run({word, "ignored", "--config"});
    EXPECT_EQ(result.status, 0) << word;
    EXPECT_EQ(result.out, "0.3.3\n") << word;
    EXPECT_EQ(result.err, "") << word;
  }
  for (const char* word : {"help", "--help", "-h"}) {
    Finished result = run({word});
    EXPECT_EQ(result.status, 0) << word;
    EXPECT_EQ(result.out, kHelpText + "\n") << word;
    EXPECT_EQ(result.err, "") << word;
  }
}

TEST(CommandLine, EveryMalformedCommandLineIsTheHelpTextOnStandardErrorWithStatus2) {
  const std::vector<std::vector<std::string>> malformed = {
      {},
      {"Version"},
      {"HELP"},
      {"Run", "--config", "helper.json"},
      {"run"},
      {"run", "--config"},
      {"run", "-c", "helper.json"},
      {"run", "helper.json", "--config"},
      {"validate", "--config=helper.json"},
      {"boot", "--config", "helper.json"},
  };
  for (const auto& arguments : malformed) {
    Finished result = run(arguments);
    std::string shown = testing::PrintToString(arguments);
    EXPECT_EQ(result.status, 2) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_EQ(result.err, kHelpText + "\n") << shown;
  }
}

TEST(CommandLine, AConfigurationThatCannotBeReadOrDecodedIsOneLineOnStandardErrorWithStatus2) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);  // no writer will ever come
  const std::string digits(400, '9');
  const std::string overflow = "JSON number out of range at line 1, column ";
  struct Case {
    std::string name;
    std::optional<std::string> content;  // absent: whatever is at the path already
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"missing.json",
       {},
       "cannot open \"" + (dir / "missing.json") + "\": No such file or directory"},
      {".", {}, "cannot open \"" + (dir / ".") + "\": Is a directory"},
      {"fifo.json", {}, "cannot open \"" + (dir / "fifo.json") + "\": not a regular file"},
      {"partial.json", R"({"disk_path": "d", "seed_path": "s"})",
       "key \"efi_store_path\" not found"},
      {"array.json", "[]", "the configuration must be a JSON object, found an array"},
      // A number no double holds, in a field or in an ignored key, is refused where it stands.
      {"cpus.json", R"({"cpu_count": 1e400})", overflow + "15: number overflow parsing '1e400'"},
      {"comment.json", R"({"comment": [-1e400]})",
       overflow + "14: number overflow parsing '-1e400'"},
      {"memory.json", R"({"memory_mib": )" + digits + "}",
       overflow + "16: number overflow parsing '" + digits + "'"},
      {"nul.json",
       R"({"disk_path":"d","seed_path":"s","efi_store_path":"e","machine_identifier_path":"m",)"
       R"("console_log_path":"c","mac_address":"","cpu_count":1,"memory_mib":1,"isolated":true,)"
       R"("save_path":"s\u0000x"})",
       "\"save_path\" must not contain a NUL character"},
  };
  for (const Case& c : cases) {
    if (c.content) test::writeFile(dir / c.name, *c.content);
    for (const char* command : {"run", "validate"}) {
      // Arguments after the path are ignored, so the file is still read.
      Finished result = run({command, "--config", dir / c.name, "extra", "--config"});
      EXPECT_EQ(result.status, 2) << c.name;
      EXPECT_EQ(result.out, "") << c.name;
      EXPECT_EQ(result.err, "failed to read config: " + c.reason + "\n");
    }
  }
}

TEST(CommandLine, ARelativeConfigPathIsReadFromTheWorkingDirectory) {
  TempDir dir;
  test::writeFile(dir / "helper.json", "{}");
  Finished result = runProcess({kHelper, "validate", "--config", "helper.json"}, "", dir.path());
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "failed to read config: key \"disk_path\" not found\n");
}

}  // namespace
}  // namespace tovan
