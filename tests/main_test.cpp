// The command line as the parent app and a person meet it: exact bytes on both outputs, status.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <sstream>

#include "support/child_process.h"

namespace tovan::test {
namespace {

// Each row: what the command lines (words split at blanks) get; a malformed one, the help text
// on standard error instead.
TEST(CommandLine, EachCommandLineGetsItsTextOnItsStreamAndItsStatus) {
  const std::string kHelpText = runProcess({TOVAN_HELPER_SIM, "help"}).out;
  EXPECT_THAT(kHelpText, testing::StartsWith("tovan-vmhelper 0.3.3 \xe2\x80\x94 Tovan VM helper"));
  EXPECT_THAT(kHelpText, testing::HasSubstr("\n  version                            Print the "
                                            "helper version\n"));
  for (const auto& [expected, lines] : std::vector<std::pair<Finished, std::vector<std::string>>>{
           {{0, "0.3.3\n", ""}, {"version ignored --config", "--version", "-V"}},
           {{0, kHelpText, ""}, {"help", "--help", "-h"}},
           {{2, "", kHelpText},
            {"", "Version", "HELP", "Run --config helper.json", "run", "run --config",
             "run -c helper.json", "run helper.json --config", "validate --config=helper.json",
             "boot --config helper.json"}}}) {
    for (const std::string& line : lines) {
      std::vector<std::string> arguments = {TOVAN_HELPER_SIM};
      std::istringstream words(line);
      for (std::string word; words >> word;) arguments.push_back(word);
      const Finished result = runProcess(arguments);
      EXPECT_EQ(std::tie(result.status, result.out, result.err),
                std::tie(expected.status, expected.out, expected.err))
          << line;
    }
  }
}

// The path is opened as given; arguments after it are ignored. A number no double holds, in a
// field or in an ignored key, is refused where it stands.
TEST(CommandLine, AConfigurationThatCannotBeReadOrDecodedIsOneLineOnStandardErrorWithStatus2) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);  // no writer will ever come
  const std::string digits(400, '9'), overflow = "JSON number out of range at line 1, column ";
  const std::string syntax = "JSON syntax error at line ";
  using Row = std::tuple<std::string, std::optional<std::string>, std::string>;
  for (const auto& [name, content, reason] : std::vector<Row>{
           {"missing.json", {}, "cannot open \"missing.json\": No such file or directory"},
           {".", {}, "cannot open \".\": Is a directory"},
           {"fifo.json", {}, "cannot open \"fifo.json\": not a regular file"},
           {"partial.json", R"({"disk_path": "d"})", "key \"seed_path\" not found"},
           {"array.json", "[]", "the configuration must be a JSON object, found an array"},
           {"cpus.json", R"({"cpu_count": 1e400})",
            overflow + "15: number overflow parsing '1e400'"},
           {"comment.json", R"({"comment": [-1e400]})",
            overflow + "14: number overflow parsing '-1e400'"},
           {"memory.json", R"({"memory_mib": )" + digits + "}",
            overflow + "16: number overflow parsing '" + digits + "'"},
           {"empty.json", "",
            syntax + "1, column 1: unexpected end of input; expected '[', '{', or a literal"},
           {"oops.json", "{\n  \"disk_path\": \"a\",\n  oops\n}",
            syntax + "3, column 3: syntax error while parsing object key - invalid literal; "
                     "last read: '\"a\",<U+000A>  o'; expected string literal"},
           {"utf8.json", "{\"vm_name\": \"\xff\"}",
            syntax + "1, column 14: invalid string: ill-formed UTF-8 byte; last read: '\"\xff'"}}) {
    if (content) writeFile(dir / name, *content);
    for (const char* command : {"run", "validate"}) {
      const Finished result = runProcess(
          {TOVAN_HELPER_SIM, command, "--config", name, "extra", "--config"}, {}, dir.path());
      EXPECT_EQ(std::tie(result.status, result.out, result.err),
                std::tuple(2, "", "failed to read config: " + reason + "\n"))
          << command;
    }
  }
}

}  // namespace
}  // namespace tovan::test
