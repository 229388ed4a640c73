// The parent's commands on a standard input that it handed down non-blocking.
#include "support/scenario.h"

namespace tovan::test {
namespace {

using CommandScenario = HelperScenario;

// The most memory process `pid` has held so far, in KiB.
long peakResidentKib(pid_t pid) {
  const std::string status = readFileOrEmpty("/proc/" + std::to_string(pid) + "/status");
  return std::stol(status.substr(status.find("VmHWM:") + 6));
}

// The helper waits on an empty non-blocking pipe rather than take it for the end of input,
// keeps only a bounded part of a 64 MiB line, and obeys the next command (a stop the guest
// refuses, so the helper runs on) and a last one without a line feed.
TEST_F(CommandScenario, AnOverlongLineCostsBoundedMemoryAndAnUnterminatedLastLineIsObeyed) {
  const std::string refused = "requestStop failed: the guest has no power button";
  // A kill padded far beyond any command: were it obeyed, no log line would come.
  const std::string overlong =
      R"({"cmd":"kill","pad":")" + std::string(64 << 20, 'x') + "\"}\n" + std::string(kStop);
  long before = -1;
  auto measure = [&] { EXPECT_GT(before = peakResidentKib(helperPid()), 0); };
  auto compare = [&] { EXPECT_LT(peakResidentKib(helperPid()) - before, 16 * 1024); };
  // Were the last kill dropped, the end of input would hibernate the machine.
  EXPECT_THAT(play("fail stop-request the guest has no power button",
                   {{kRunning, overlong, measure},
                    {log(refused), R"({"cmd":"kill"})", compare},
                    {"", kEndOfInput}},
                   ChildStdin::nonBlocking),
              testing::ElementsAre(kStarting, kRunning, log(refused), exited(0)));
}

}  // namespace
}  // namespace tovan::test
