// Decoding the configuration file: every field, the checks on each, and which failure is
// reported first. Documents that are not JSON are tried through the executable (main_test).
#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "config/helper_config.h"

namespace tovan::test {
namespace {

using Json = nlohmann::ordered_json;

const Json kExample = Json::parse(R"({"disk_path": "/vm/disk.img", "seed_path": "/vm/seed.img",
    "efi_store_path": "/vm/efi-vars.bin", "machine_identifier_path": "/vm/machine-id.bin",
    "console_log_path": "/vm/console.log", "mac_address": "02:00:00:00:00:01", "cpu_count": 4,
    "memory_mib": 4096, "isolated": false, "save_path": "/vm/saved-state", "vm_name": "vm"})");

// A decoded configuration in the file's form, its fields in kExample's order.
Json encode(const HelperConfig& c) {
  const Json values = Json::array({c.diskPath, c.seedPath, c.efiStorePath, c.machineIdentifierPath,
                                   c.consoleLogPath, c.macAddress, c.cpuCount, c.memoryMib,
                                   c.isolated, c.savePath, c.vmName ? Json(*c.vmName) : Json()});
  Json file;
  for (std::size_t i = 0; const auto& each : kExample.items()) file[each.key()] = values[i++];
  return file;
}

// Each row: the failure, or else the decoded value of the first key edited, then edits of the
// example as key and JSON value (none: removed). Each file is decoded also in camel case.
TEST(DecodeHelperConfig, ReadsEveryFieldAndChecksTypesInFieldOrderButNotRangesOrEmptiness) {
  Result<HelperConfig> example = decodeHelperConfig(kExample.dump());
  ASSERT_TRUE(example) << example.error().description;
  EXPECT_EQ(encode(*example), kExample);  // every field, each from its own key
  std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
      {"null", {"vm_name", ""}},
      {"null", {"vm_name", "null"}},
      {"\"vm_name\" must be a string or null, found an integer", {"vm_name", "7"}},
      {"key \"isolated\" not found", {"isolated", ""}},
      {"key \"disk_path\" not found", {"cpu_count", "", "disk_path", ""}},
      // Keys match fields in camel case: inner underscores go, outer ones stay.
      {"key \"disk_path\" not found", {"disk_path", "", "_disk_path", "\"/x\""}},
      {"key \"disk_path\" not found", {"disk_path", "", "disk_path__", "\"/x\""}},
      {"\"/x\"", {"disk_path", "", "disk__path", "\"/x\"", "___", "1"}},
      {"\"seed_path\" must not be null", {"save_path", "3", "seed_path", "null"}},
      {"\"cpu_count\" must be an integer, found a string", {"cpu_count", "\"4\""}},
      {"\"isolated\" must be true or false, found an integer", {"isolated", "1"}},
      {"true", {"isolated", "true"}},
      {"\"\"", {"disk_path", "\"\""}},
      {"\"mac_address\" must be a string, found a boolean", {"mac_address", "false"}},
      // A NUL only makes the MAC address fail to parse later; paths and the name refuse it below.
      {R"("a\u0000b")", {"mac_address", R"("a\u0000b")"}},
      // Any signed 64-bit CPU count and unsigned memory size, also as an integral number.
      {"-9223372036854775808", {"cpu_count", "-9223372036854775808"}},
      {"9223372036854775807", {"cpu_count", "9223372036854775807"}},
      {"4", {"cpu_count", "4.0"}},
      {"18446744073709551615", {"memory_mib", "18446744073709551615"}},
      {"2000", {"memory_mib", "2e3"}},
      {"\"cpu_count\" must be a signed 64-bit integer, found 9223372036854775808",
       {"cpu_count", "9223372036854775808"}},
      {"\"cpu_count\" must be a signed 64-bit integer, found 2.5", {"cpu_count", "2.5"}},
      {"\"memory_mib\" must be an integer from 0 to 2^64-1, found -1", {"memory_mib", "-1"}},
      {"\"memory_mib\" must be an integer from 0 to 2^64-1, found 1.8446744073709552e+19",
       {"memory_mib", "18446744073709551616"}}};
  for (std::string key : {"disk_path", "seed_path", "efi_store_path", "machine_identifier_path",
                          "console_log_path", "save_path", "vm_name"}) {
    rows.push_back({"\"" + key + "\" must not contain a NUL character", {key, R"("a\u0000b")"}});
  }
  for (const auto& [outcome, edits] : rows) {
    Json file = kExample, camel = {{"name", "ignored"}, {"comment", {1, 2}}};
    for (size_t i = 0; i < edits.size(); i += 2) {
      if (edits[i + 1].empty()) file.erase(edits[i]);
      if (!edits[i + 1].empty()) file[edits[i]] = Json::parse(edits[i + 1]);
    }
    for (const auto& [key, value] : file.items()) camel[convertFromSnakeCase(key)] = value;
    for (const Json& each : {file, camel}) {
      Result<HelperConfig> config = decodeHelperConfig(each.dump());
      EXPECT_EQ(config ? encode(*config)[edits[0]].dump() : config.error().description, outcome)
          << each.dump();
    }
  }
}

}  // namespace
}  // namespace tovan::test
