// The parent's commands on a standard input that it handed down non-blocking.
#include "support/scenario.h"

namespace tovan::test {
namespace {

using CommandScenario = HelperScenario;

// The helper waits on an empty non-blocking pipe rather than take it for the end of input,
// keeps only a bounded part of a 64 MiB line, and obeys the next command (a stop the guest
// refuses, so the helper runs on) and a last one without a line feed.
TEST_F(CommandScenario, AnOverlongLineCostsBoundedMemoryAndAnUnterminatedLastLineIsObeyed) {
  const std::string refused = "requestStop failed: the guest has no power button";
  // A kill padded far beyond any command: were it obeyed, no log line would come.
  const std::string overlong =
      R"({"cmd":"kill","pad":")" + std::string(64 << 20, 'x') + "\"}\n" + std::string(kStop);
  long before = -1;  // the most memory the helper has held so far, in KiB
  auto measure = [&] { EXPECT_GT(before = processCost(helperPid())[3], 0); };
  auto compare = [&] { EXPECT_LT(processCost(helperPid())[3] - before, 16 * 1024); };
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
