#include "control/command_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>

namespace tovan {

std::optional<Command> parseCommand(std::string_view line) {
  nlohmann::json parsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;  // also what a failed parse gives
  auto cmd = parsed.find("cmd");
  if (cmd == parsed.end() || !cmd->is_string()) return std::nullopt;
  const std::string& word = cmd->get_ref<const std::string&>();
  if (word == "stop") return Command::stop;
  if (word == "hibernate") return Command::hibernate;
  if (word == "kill") return Command::kill;
  return std::nullopt;
}

void readCommands(int fd, const std::function<void(Command)>& obey) {
  auto take = [&obey](std::string_view line) {
    if (auto command = parseCommand(line)) obey(*command);
  };
  std::string line;       // the current line so far, never more than kMaxCommandLineBytes
  bool overlong = false;  // the current line outgrew the bound: skip it to its line feed
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd readable{fd, POLLIN, 0};
      (void)::poll(&readable, 1, -1);  // an EINTR just reads again
      continue;
    }
    if (got <= 0) break;
    std::string_view bytes(buffer, static_cast<size_t>(got));
    for (;;) {
      const size_t end = bytes.find('\n');
      const std::string_view piece = bytes.substr(0, end);
      if (!overlong && line.size() + piece.size() > kMaxCommandLineBytes) {
        overlong = true;
        line.clear();
      }
      if (!overlong) line.append(piece);
      if (end == std::string_view::npos) break;
      if (!overlong) take(line);
      line.clear();
      overlong = false;
      bytes.remove_prefix(end + 1);
    }
  }
  if (!overlong && !line.empty()) take(line);
}

}  // namespace tovan
