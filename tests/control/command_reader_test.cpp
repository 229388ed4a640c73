// Which lines are commands, and how the reader takes lines off a pipe however they were written.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "control/command_reader.h"

namespace tovan::test {
namespace {

TEST(ParseCommand, AcceptsExactlyTheThreeWordsAsAStringCmdOfAnObject) {
  EXPECT_EQ(parseCommand(R"({"cmd":"stop"})"), Command::stop);
  EXPECT_EQ(parseCommand(R"({"cmd":"hibernate"})"), Command::hibernate);
  // Other members, blanks and the carriage return of a CRLF writer change nothing.
  EXPECT_EQ(parseCommand("{ \"id\": 7, \"cmd\" : \"kill\", \"x\": [1] }\r"), Command::kill);
  for (const char* line :
       {"", "stop", "\"stop\"", R"(["stop"])", "{}", R"({"command":"stop"})", R"({"cmd":1})",
        R"({"cmd":null})", R"({"cmd":"Stop"})", R"({"cmd":" stop"})", R"({"cmd":"stop")",
        R"({"cmd":"stop"} {"cmd":"kill"})", "{\"cmd\":\"st\xffop\"}"}) {
    EXPECT_EQ(parseCommand(line), std::nullopt) << line;
  }
}

// A command line of exactly `size` bytes, padded.
std::string commandOfSize(std::string_view word, size_t size) {
  const std::string head = R"({"cmd":")" + std::string(word) + R"(","pad":")";
  return head + std::string(size - head.size() - 2, 'x') + "\"}";
}

// Written in pieces into a pipe that is non-blocking, as a parent may hand standard input down:
// an empty pipe is not its end.
TEST(ReadCommands, JoinsSplitLinesSkipsOverlongOnesAndTakesAnUnterminatedLastLine) {
  const std::vector<std::string> writes = {
      R"({"cm)", R"(d":"hib)", "ernate\"}\nstop\n" + commandOfSize("stop", kMaxCommandLineBytes),
      "\n" + commandOfSize("hibernate", kMaxCommandLineBytes + 1) + "\n", R"({"cmd":"kill"})"};
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  ::signal(SIGPIPE, SIG_IGN);  // should the reader quit early, the writer fails rather than hang
  std::thread writer([&writes, fd = fds[1]] {
    for (const std::string& bytes : writes) {
      EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ::close(fd);
  });
  std::vector<Command> obeyed;
  readCommands(fds[0], [&obeyed](Command command) { obeyed.push_back(command); });
  ::close(fds[0]);
  writer.join();
  EXPECT_THAT(obeyed, testing::ElementsAre(Command::hibernate, Command::stop, Command::kill));
}

}  // namespace
}  // namespace tovan::test
