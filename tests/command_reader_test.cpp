// Which lines of standard input are commands, and how the reader takes them off a real pipe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "control/command_reader.h"

namespace tovan {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ParseCommand, AcceptsExactlyTheThreeWordsInAStringCmd) {
  EXPECT_EQ(parseCommand(R"({"cmd":"stop"})"), Command::stop);
  EXPECT_EQ(parseCommand(R"({"cmd":"hibernate"})"), Command::hibernate);
  EXPECT_EQ(parseCommand(R"({"cmd":"kill"})"), Command::kill);
  // Other members, blanks and a carriage return left by a CRLF writer change nothing.
  EXPECT_EQ(parseCommand(R"( { "id": 7, "cmd" : "stop", "force": true } )"), Command::stop);
  EXPECT_EQ(parseCommand("{\"cmd\":\"kill\"}\r"), Command::kill);
}

TEST(ParseCommand, IgnoresEverythingElse) {
  for (const char* line :
       {"", "stop", "\"stop\"", R"(["stop"])", "{}", R"({"command":"stop"})", R"({"cmd":1})",
        R"({"cmd":null})", R"({"cmd":["stop"]})", R"({"cmd":"Stop"})", R"({"cmd":"STOP"})",
        R"({"cmd":" stop"})", R"({"cmd":"stop")", R"({"cmd":"stop"} {"cmd":"kill"})",
        R"({"cmd":"reboot"})", "{\"cmd\":\"st\xffop\"}"}) {
    EXPECT_EQ(parseCommand(line), std::nullopt) << line;
  }
}

// Writes `chunks` one write at a time into a pipe, then closes it, while the reader reads.
std::vector<Command> readFromPipe(const std::vector<std::string>& chunks) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&chunks, fd = fds[1]] {
    for (const std::string& chunk : chunks) {
      size_t done = 0;
      while (done < chunk.size()) {
        ssize_t n = ::write(fd, chunk.data() + done, chunk.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
    }
    ::close(fd);
  });
  std::vector<Command> obeyed;
  readCommands(fds[0], [&obeyed](Command command) { obeyed.push_back(command); });
  writer.join();
  ::close(fds[0]);
  return obeyed;
}

TEST(ReadCommands, ObeysCommandsInOrderAndDropsJunkBetweenThem) {
  EXPECT_THAT(readFromPipe({"\n", "not json\n",
                            R"({"cmd":"stop"})"
                            "\n",
                            "[1,2]\n",
                            R"({"cmd":"hibernate"})"
                            "\n",
                            R"({"cmd":"stop","x":1})"
                            "\n"}),
              ElementsAre(Command::stop, Command::hibernate, Command::stop));
}

TEST(ReadCommands, JoinsALineSplitAcrossWritesAndTakesAnUnterminatedLastLine) {
  EXPECT_THAT(readFromPipe({R"({"cm)", R"(d":"hib)", "ernate\"}\n{\"cmd\"", ":\"kill\"}"}),
              ElementsAre(Command::hibernate, Command::kill));
}

TEST(ReadCommands, HandlesLinesLongerThanAnyBuffer) {
  std::string padding(200000, 'x');
  EXPECT_THAT(readFromPipe({R"({"pad":")" + padding + R"(","cmd":"stop"})" + "\n" + padding + "\n" +
                            R"({"cmd":"kill"})" + "\n"}),
              ElementsAre(Command::stop, Command::kill));
}

TEST(ReadCommands, ReturnsAtOnceOnAnEmptyOrUnreadableInput) {
  EXPECT_THAT(readFromPipe({}), IsEmpty());
  std::vector<Command> obeyed;
  readCommands(-1, [&obeyed](Command command) { obeyed.push_back(command); });
  EXPECT_THAT(obeyed, IsEmpty());
}

}  // namespace
}  // namespace tovan
