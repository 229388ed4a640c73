#include "control/command_reader.h"

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
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    // Only the new bytes are searched, so a long line costs linear time however it arrives.
    size_t searchFrom = pending.size();
    pending.append(buffer, static_cast<size_t>(got));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', searchFrom)) != std::string::npos;
         start = searchFrom = end + 1) {
      take(std::string_view(pending).substr(start, end - start));
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) take(pending);
}

}  // namespace tovan
