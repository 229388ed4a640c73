// Plays `run` scenarios through real pipes against the simulated helper: writes the guest's
// script and the configuration, writes the parent's commands as events arrive, and collects
// every event line with the exit status.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"

namespace tovan::test {

// Events in a form that reads well in a failure: "state: running", "log: <line>",
// "error: <message>". A line of any other shape reads "malformed: <line>".
inline std::string state(std::string_view name) { return "state: " + std::string(name); }
inline std::string log(std::string_view line) { return "log: " + std::string(line); }
inline std::string error(std::string_view message) { return "error: " + std::string(message); }

inline constexpr std::string_view kStop = "{\"cmd\":\"stop\"}\n";
inline constexpr std::string_view kHibernate = "{\"cmd\":\"hibernate\"}\n";
inline constexpr std::string_view kKill = "{\"cmd\":\"kill\"}\n";

// What the parent writes once `after` has arrived (empty: at once), after doing `first`.
struct Say {
  std::string after;
  std::string_view bytes;
  std::function<void()> first = {};
};

// What becomes of standard input once the parent has said everything: closing it starts the
// helper's wind-down; keeping it open waits for the helper to end by itself.
enum class Input { keepOpen, closeInput };

struct RunOutcome {
  std::vector<std::string> events;
  int status = -1;
};

class HelperScenario : public testing::Test {
 protected:
  HelperScenario();

  // The guest's script (the main disk image's content); empty is a healthy guest.
  void script(std::string_view text) { writeFile(dir_ / "disk.img", text); }
  void share(bool isolated, std::optional<std::string> vmName);

  // One whole run of `run --config`. Standard error must stay empty (sanitizer reports land
  // there).
  RunOutcome play(const std::vector<Say>& parent, Input ending);

  // A cold boot that hibernates, leaving a saved state at statePath().
  void hibernateOnce();

  // The pid of the helper that play() runs, once it has started.
  pid_t helperPid() const { return helperPid_; }
  // Every file in the machine's directory with its content.
  std::map<std::string, std::string> files() const;

  std::string statePath() const { return dir_ / "saved-state"; }
  std::string partialPath() const { return statePath() + ".part"; }
  std::string path(std::string_view name) const { return dir_ / name; }

 private:
  TempDir dir_;
  bool isolated_ = true;
  pid_t helperPid_ = -1;
  std::optional<std::string> vmName_;
};

}  // namespace tovan::test
