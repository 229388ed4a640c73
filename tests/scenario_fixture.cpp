#include "scenario_fixture.h"

#include <signal.h>

#include <nlohmann/json.hpp>

namespace tovan::testing {

namespace {

const std::string kHelper = TOVAN_HELPER_SIM;

}  // namespace

std::string describeEventLine(const std::string& line) {
  nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
  const char* shapes[][2] = {{"state", "state"}, {"log", "line"}, {"error", "message"}};
  if (event.is_object() && event.size() == 2 && event.contains("event") &&
      event["event"].is_string()) {
    for (const auto& [kind, key] : shapes) {
      if (event["event"] == kind && event.contains(key) && event[key].is_string()) {
        return std::string(kind) + ": " + event[key].get<std::string>();
      }
    }
  }
  return "malformed: " + line;
}

HelperScenario::HelperScenario() {
  // A helper that has already ended must not take the test down with it on the next write.
  ::signal(SIGPIPE, SIG_IGN);
  script("");
  writeFile(dir_ / "seed.img", "");
}

HelperScenario::~HelperScenario() = default;

void HelperScenario::script(std::string_view text) { writeFile(dir_ / "disk.img", text); }

void HelperScenario::share(bool isolated, std::optional<std::string> vmName) {
  isolated_ = isolated;
  vmName_ = std::move(vmName);
}

void HelperScenario::writeConfiguration() {
  nlohmann::json config = {
      {"disk_path", dir_ / "disk.img"},
      {"seed_path", dir_ / "seed.img"},
      {"efi_store_path", dir_ / "efi-vars.bin"},
      {"machine_identifier_path", dir_ / "machine-id.bin"},
      {"console_log_path", dir_ / "console.log"},
      {"mac_address", "02:00:00:00:00:01"},
      {"cpu_count", 2},
      {"memory_mib", 512},
      {"isolated", isolated_},
      {"save_path", statePath()},
  };
  if (vmName_) config["vm_name"] = *vmName_;
  writeFile(dir_ / "helper.json", config.dump());
}

void HelperScenario::start(std::string_view input, Input after) {
  writeConfiguration();
  events_.clear();
  helper_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{kHelper, "run", "--config", dir_ / "helper.json"});
  send(input);
  if (after == Input::closeInput) helper_->closeStdin();
}

void HelperScenario::send(std::string_view bytes) { helper_->write(bytes); }

void HelperScenario::waitFor(const std::string& event) {
  for (;;) {
    std::optional<std::string> line = helper_->readLine();
    ASSERT_TRUE(line.has_value()) << "the helper ended before " << event
                                  << "; events so far: " << ::testing::PrintToString(events_)
                                  << "; stderr: " << helper_->errSoFar();
    events_.push_back(describeEventLine(*line));
    if (events_.back() == event) return;
  }
}

RunOutcome HelperScenario::end(Input how) {
  if (how == Input::closeInput) helper_->closeStdin();
  while (std::optional<std::string> line = helper_->readLine()) {
    events_.push_back(describeEventLine(*line));
  }
  Finished finished = helper_->finish();
  RunOutcome outcome{std::move(events_), finished.status, finished.err};
  if (!finished.out.empty()) outcome.events.push_back("unterminated: " + finished.out);
  events_.clear();
  helper_.reset();
  return outcome;
}

void HelperScenario::hibernateOnce() {
  start();
  waitFor(state("running"));
  send("{\"cmd\":\"hibernate\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  ASSERT_THAT(outcome.events, ::testing::ElementsAre(state("starting"), state("running"),
                                                     state("saving"), state("hibernated")));
  ASSERT_EQ(outcome.status, 0);
  ASSERT_TRUE(fileExists(statePath()));
}

}  // namespace tovan::testing
