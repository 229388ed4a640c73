#include "support/scenario.h"

#include <nlohmann/json.hpp>

namespace tovan::test {

HelperScenario::HelperScenario() { writeFile(path("seed"), ""); }

std::vector<std::string> HelperScenario::play(std::string_view script,
                                              const std::vector<Say>& parent,
                                              ChildStdin stdinMode) {
  // Rewriting the disk, even with the same bytes, would tell a saved state that it changed.
  if (!fileExists(path("disk")) || readFileOrEmpty(path("disk")) != script) {
    writeFile(path("disk"), script);
  }
  nlohmann::json config = {{"cpu_count", 2}, {"memory_mib", 512}, {"isolated", vmName_.empty()}};
  for (std::string file : {"disk", "seed", "efi_store", "machine_identifier", "console_log"})
    config[file + "_path"] = path(file);
  config["mac_address"] = "02:00:00:00:00:01";
  config["save_path"] = statePath();
  if (!vmName_.empty()) config["vm_name"] = vmName_;
  writeFile(path("helper.json"), config.dump());

  ChildProcess helper({helperExecutable_, "run", "--config", path("helper.json")}, {}, stdinMode);
  helperPid_ = helper.pid();
  helper_ = &helper;
  std::vector<std::string> events;
  auto next = [&] {
    std::optional<std::string> line = helper.readLine();
    if (!line) return false;
    nlohmann::json event = nlohmann::json::parse(*line, nullptr, false);
    const char* kinds[][2] = {{"state", "state"}, {"log", "line"}, {"error", "message"}};
    std::string shown = "malformed: " + *line;
    for (const auto& [kind, key] : kinds) {
      if (event.is_object() && event.size() == 2 && event.value("event", "") == kind &&
          event.contains(key) && event[key].is_string()) {
        shown = std::string(kind) + ": " + event[key].get<std::string>();
      }
    }
    events.push_back(shown);
    return true;
  };
  for (const Say& say : parent) {
    bool arrived = say.after.empty();
    while (!arrived && next()) arrived = events.back() == say.after;
    EXPECT_TRUE(arrived) << "the helper ended before " << say.after;
    if (!arrived) break;
    if (say.first) say.first();
    say.bytes.empty() ? helper.closeStdin() : helper.write(say.bytes);
  }
  while (next()) continue;
  Finished finished = helper.finish();
  helper_ = nullptr;
  EXPECT_EQ(finished.err, "");
  events.push_back(exited(finished.status));
  return events;
}

}  // namespace tovan::test
