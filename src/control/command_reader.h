// The parent's commands: one JSON object per line of standard input, naming the command in its
// "cmd" member.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace tovan {

enum class Command { stop, hibernate, kill };

// The longest line the reader keeps, line feed not counted; every command fits many times over.
inline constexpr std::size_t kMaxCommandLineBytes = std::size_t{1} << 20;

// The command a line carries. Absent for anything else: text that is not JSON, JSON that is not
// an object, an object without a string "cmd", or a word other than exactly "stop", "hibernate"
// or "kill". Other members of the object are ignored.
std::optional<Command> parseCommand(std::string_view line);

// Reads lines from `fd` until its end (or a read error, which ends input just the same) and hands
// each command to `obey`, in arrival order, on the calling thread; other lines are dropped. A last
// line without a line feed still counts. A descriptor in non-blocking mode (as a parent may hand
// it down) is waited on, never taken for ended. Memory stays bounded whatever arrives: a line
// longer than kMaxCommandLineBytes is skipped up to its line feed without being stored, and is
// not a command.
void readCommands(int fd, const std::function<void(Command)>& obey);

}  // namespace tovan
