#include "support/scenario.h"

#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>

namespace tovan::test {

namespace {

std::string describeEventLine(const std::string& line) {
  nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
  const char* shapes[][2] = {{"state", "state"}, {"log", "line"}, {"error", "message"}};
  if (event.is_object() && event.size() == 2) {
    for (const auto& [kind, key] : shapes) {
      if (event.value("event", "") == kind && event.contains(key) && event[key].is_string()) {
        return std::string(kind) + ": " + event[key].get<std::string>();
      }
    }
  }
  return "malformed: " + line;
}

}  // namespace

HelperScenario::HelperScenario() {
  // A helper that has already ended must not take the test down on the next write.
  ::signal(SIGPIPE, SIG_IGN);
  script("");
  writeFile(dir_ / "seed.img", "");
}

void HelperScenario::share(bool isolated, std::optional<std::string> vmName) {
  isolated_ = isolated;
  vmName_ = std::move(vmName);
}

RunOutcome HelperScenario::play(const std::vector<Say>& parent, Input ending) {
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

  ChildProcess helper({TOVAN_HELPER_SIM, "run", "--config", dir_ / "helper.json"});
  helperPid_ = helper.pid();
  RunOutcome outcome;
  auto next = [&]() -> bool {
    std::optional<std::string> line = helper.readLine();
    if (line) outcome.events.push_back(describeEventLine(*line));
    return line.has_value();
  };
  for (const Say& say : parent) {
    bool arrived = say.after.empty();
    while (!arrived && next()) arrived = outcome.events.back() == say.after;
    if (!arrived) {
      ADD_FAILURE() << "the helper ended before " << say.after;
      break;
    }
    if (say.first) say.first();
    helper.write(say.bytes);
  }
  if (ending == Input::closeInput) helper.closeStdin();
  while (next()) {
  }
  Finished finished = helper.finish();
  EXPECT_EQ(finished.err, "");
  outcome.status = finished.status;
  return outcome;
}

std::map<std::string, std::string> HelperScenario::files() const {
  std::map<std::string, std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    found[entry.path().filename()] = readFileOrEmpty(entry.path());
  }
  return found;
}

void HelperScenario::hibernateOnce() {
  RunOutcome outcome = play({{state("running"), kHibernate}}, Input::keepOpen);
  ASSERT_THAT(outcome.events, testing::ElementsAre(state("starting"), state("running"),
                                                   state("saving"), state("hibernated")));
  ASSERT_TRUE(fileExists(statePath()));
}

}  // namespace tovan::test
