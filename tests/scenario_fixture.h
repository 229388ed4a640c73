// Drives the simulated helper through real pipes for the `run` scenarios: writes the guest's
// script and the configuration, sends command lines, and collects every event line together
// with the exit status.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"

namespace tovan::testing {

// An event line in a form that reads well in a failure: "state: running", "log: <line>",
// "error: <message>". Anything that is not a two-member object of one of these shapes comes out
// as "malformed: <line>" and matches nothing a test expects.
std::string describeEventLine(const std::string& line);

inline std::string state(std::string_view name) { return "state: " + std::string(name); }
inline std::string log(std::string_view line) { return "log: " + std::string(line); }
inline std::string error(std::string_view message) { return "error: " + std::string(message); }

// What becomes of the helper's standard input.
enum class Input { keepOpen, closeInput };

struct RunOutcome {
  std::vector<std::string> events;
  int status = -1;
  std::string err;
};

class HelperScenario : public ::testing::Test {
 protected:
  HelperScenario();
  ~HelperScenario() override;

  // The guest's script (the main disk image's content); empty is a healthy guest.
  void script(std::string_view text);
  // The configuration's `isolated` and `vm_name` (absent: no key).
  void share(bool isolated, std::optional<std::string> vmName);

  // Spawns `run --config`. `input` is written at once; closeInput also ends standard input.
  void start(std::string_view input = {}, Input after = Input::keepOpen);
  void send(std::string_view bytes);
  // Reads events until `event` arrives; fails the test when the stream ends first.
  void waitFor(const std::string& event);
  // Reads the remaining events and reaps the helper. closeInput ends its standard input first;
  // keepOpen leaves it open until the helper has ended by itself.
  RunOutcome end(Input how);

  // A whole run that cold-boots and hibernates, leaving a saved state at statePath().
  void hibernateOnce();

  std::string statePath() const { return dir_ / "saved-state"; }
  std::string partialPath() const { return statePath() + ".part"; }
  const TempDir& dir() const { return dir_; }

 private:
  void writeConfiguration();

  TempDir dir_;
  bool isolated_ = true;
  std::optional<std::string> vmName_;
  std::unique_ptr<ChildProcess> helper_;
  std::vector<std::string> events_;
};

}  // namespace tovan::testing
