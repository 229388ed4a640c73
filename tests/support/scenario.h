// Plays `run` scenarios against the simulated helper through real pipes, as its parent would:
// writes the commands as events arrive and collects every event and then the exit status.
#pragma once

#include <gmock/gmock.h>

#include <functional>

#include "support/child_process.h"

namespace tovan::test {

// Events as they read well in a failure: "state: running", "log: <line>", "error: <message>";
// a line of any other shape reads "malformed: <line>".
inline std::string log(std::string_view line) { return "log: " + std::string(line); }
inline std::string error(std::string_view message) { return "error: " + std::string(message); }
inline std::string exited(int status) { return "exit status " + std::to_string(status); }
inline const std::string kStarting = "state: starting", kRestoring = "state: restoring",
                         kRunning = "state: running", kSaving = "state: saving",
                         kHibernated = "state: hibernated", kStopped = "state: stopped";

inline constexpr std::string_view kStop = "{\"cmd\":\"stop\"}\n";
inline constexpr std::string_view kHibernate = "{\"cmd\":\"hibernate\"}\n";
inline constexpr std::string_view kKill = "{\"cmd\":\"kill\"}\n";
// The parent closing the helper's standard input, which starts the helper's wind-down.
inline constexpr std::string_view kEndOfInput = {};

// What the parent writes (or kEndOfInput) once `after` has arrived (empty: at once), after
// doing `first`. Input never closed leaves the helper to end by itself.
struct Say {
  std::string after;
  std::string_view bytes;
  std::function<void()> first = {};
};

class HelperScenario : public testing::Test {
 protected:
  HelperScenario();

  // The machine shares a folder with the host under `vmName`; by default it is isolated.
  void shareHost(std::string vmName) { vmName_ = std::move(vmName); }
  // One run with the guest's `script` (the main disk image, written only when it differs; empty
  // is a healthy guest). Standard error must stay empty: sanitizer reports land there.
  std::vector<std::string> play(std::string_view script, const std::vector<Say>& parent = {},
                                ChildStdin stdinMode = ChildStdin::blocking);

  pid_t helperPid() const { return helperPid_; }  // of the helper play() runs, once started
  void parentLeaves() { helper_->leave(); }       // in a Say's `first`
  std::string path(std::string_view name) const { return dir_ / name; }
  void useHelper(std::string executable) { helperExecutable_ = std::move(executable); }
  void saveAt(std::string statePath) { statePath_ = std::move(statePath); }
  const std::string& statePath() const { return statePath_; }
  std::string partialPath() const { return statePath() + ".part"; }

 private:
  TempDir dir_;
  std::string vmName_;
  std::string statePath_ = path("saved-state");
  std::string helperExecutable_ = TOVAN_HELPER_SIM;
  pid_t helperPid_ = -1;
  ChildProcess* helper_ = nullptr;
};

}  // namespace tovan::test
