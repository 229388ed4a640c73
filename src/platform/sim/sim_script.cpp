#include "platform/sim/sim_script.h"

#include <charconv>
#include <vector>

namespace tovan {

namespace {

// Large enough for any scenario, small enough to turn into a clock duration without overflow.
constexpr double kMaxSeconds = 1000000;

constexpr std::array<std::string_view, kSimOperationCount> kOperationNames = {
    "start", "restore",      "resume",   "pause",
    "save",  "stop-request", "validate", "save-restore-validation",
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The first word of `text` (already trimmed), and what follows it, trimmed.
std::pair<std::string_view, std::string_view> splitWord(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size() && !isBlank(text[end])) ++end;
  return {text.substr(0, end), trim(text.substr(end))};
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> result;
  while (!text.empty()) {
    auto [word, rest] = splitWord(text);
    result.push_back(word);
    text = rest;
  }
  return result;
}

// A plain decimal: digits with at most one point, at least one digit, nothing else.
std::optional<double> parseDecimal(std::string_view text) {
  std::size_t digits = 0;
  std::size_t points = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++points;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || points > 1) return std::nullopt;
  double value = 0;
  auto [end, code] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (code != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value > kMaxSeconds) return std::nullopt;
  return value;
}

std::string quoted(std::string_view text) {
  std::string result = "\"";
  result += text;
  result += '"';
  return result;
}

// Parses one line's directive into `script`; returns what is wrong with it, if anything.
class LineParser {
 public:
  explicit LineParser(SimScript& script) : script_(script) {}

  std::optional<std::string> parse(std::string_view line) {
    for (char c : line) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r') || c == 0x7f) {
        return "not a line of text (control byte " + std::to_string(static_cast<unsigned char>(c)) +
               ")";
      }
    }
    auto [directive, rest] = splitWord(line);
    if (directive == "boot") return duration(directive, rest, script_.bootSeconds);
    if (directive == "restore") return duration(directive, rest, script_.restoreSeconds);
    if (directive == "save") return duration(directive, rest, script_.saveSeconds);
    if (directive == "fail") return failure(rest);
    if (directive == "stop-response") return stopResponse(rest);
    if (directive == "power-off-after") {
      double seconds = 0;
      if (auto wrong = duration(directive, rest, seconds)) return wrong;
      script_.powerOffAfterSeconds = seconds;
      return std::nullopt;
    }
    if (directive == "error-after") return timedEvent(directive, rest, script_.errorAfter);
    if (directive == "detach-network-after") {
      return timedEvent(directive, rest, script_.detachNetworkAfter);
    }
    if (directive == "host") return host(rest);
    if (directive == "time-scale") return timeScale(rest);
    if (directive == "stall") return stall(rest);
    return "unknown directive " + quoted(directive);
  }

 private:
  static std::optional<std::string> duration(std::string_view directive, std::string_view rest,
                                             double& out) {
    std::vector<std::string_view> arguments = words(rest);
    if (arguments.size() != 1) {
      return std::string(directive) + " takes one duration in seconds";
    }
    std::optional<double> seconds = parseDecimal(arguments[0]);
    if (!seconds) return notADuration(arguments[0]);
    out = *seconds;
    return std::nullopt;
  }

  static std::string notADuration(std::string_view word) {
    return quoted(word) + " is not a duration in seconds (a plain decimal up to 1000000)";
  }

  std::optional<std::string> failure(std::string_view rest) {
    auto [operation, description] = splitWord(rest);
    if (operation.empty() || description.empty()) {
      return "fail takes an operation and a description";
    }
    for (std::size_t i = 0; i < kOperationNames.size(); ++i) {
      if (kOperationNames[i] == operation) {
        script_.failures[i] = std::string(description);
        return std::nullopt;
      }
    }
    return "unknown operation " + quoted(operation) +
           " (start, restore, resume, pause, save, stop-request, validate or "
           "save-restore-validation)";
  }

  std::optional<std::string> stall(std::string_view rest) {
    auto [operation, seconds] = splitWord(rest);
    for (std::size_t i = 0; i <= static_cast<std::size_t>(SimOperation::save); ++i) {
      if (kOperationNames[i] != operation) continue;
      SimStall stall{static_cast<SimOperation>(i), 0};
      if (auto wrong = duration("stall", seconds, stall.seconds)) return wrong;
      script_.stall = stall;
      return std::nullopt;
    }
    return "stall takes start, restore, resume, pause or save, and a duration in seconds";
  }

  std::optional<std::string> stopResponse(std::string_view rest) {
    if (rest == "never") {
      script_.stopResponseSeconds.reset();
      return std::nullopt;
    }
    double seconds = 0;
    if (words(rest).size() != 1) return "stop-response takes a duration in seconds or never";
    if (auto wrong = duration("stop-response", rest, seconds)) return wrong;
    script_.stopResponseSeconds = seconds;
    return std::nullopt;
  }

  static std::optional<std::string> timedEvent(std::string_view directive, std::string_view rest,
                                               std::optional<SimTimedEvent>& out) {
    auto [word, description] = splitWord(rest);
    if (word.empty() || description.empty()) {
      return std::string(directive) + " takes a duration in seconds and a description";
    }
    std::optional<double> seconds = parseDecimal(word);
    if (!seconds) return notADuration(word);
    out = SimTimedEvent{*seconds, std::string(description)};
    return std::nullopt;
  }

  std::optional<std::string> host(std::string_view rest) {
    if (rest == "macos-13") {
      script_.host = SimHost::macos13;
    } else if (rest == "macos-14") {
      script_.host = SimHost::macos14;
    } else {
      return "host takes macos-13 or macos-14";
    }
    return std::nullopt;
  }

  std::optional<std::string> timeScale(std::string_view rest) {
    std::vector<std::string_view> arguments = words(rest);
    if (arguments.size() != 1) return "time-scale takes one factor";
    std::optional<double> factor = parseDecimal(arguments[0]);
    if (!factor) return quoted(arguments[0]) + " is not a scale factor (a plain decimal)";
    script_.timeScale = *factor;
    return std::nullopt;
  }

  SimScript& script_;
};

}  // namespace

std::string_view simOperationName(SimOperation operation) {
  return kOperationNames[static_cast<std::size_t>(operation)];
}

const std::string* SimScript::failure(SimOperation operation) const {
  const auto& scripted = failures[static_cast<std::size_t>(operation)];
  return scripted ? &*scripted : nullptr;
}

Result<SimScript> parseSimScript(std::string_view text) {
  SimScript script;
  LineParser parser(script);
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    if (std::size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    line = trim(line);
    if (line.empty()) continue;
    if (std::optional<std::string> wrong = parser.parse(line)) {
      return Error{"sim script line " + std::to_string(number) + ": " + *wrong};
    }
  }
  return script;
}

}  // namespace tovan
