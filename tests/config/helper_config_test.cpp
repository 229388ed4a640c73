#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "config/helper_config.h"

namespace tovan {
namespace {

using testing::HasSubstr;
using Json = nlohmann::ordered_json;

Json exampleFile() {
  return Json::parse(R"({
    "disk_path": "/srv/vms/build01/disk.img",
    "seed_path": "/srv/vms/build01/seed.img",
    "efi_store_path": "/srv/vms/build01/efi-vars.bin",
    "machine_identifier_path": "/srv/vms/build01/machine-id.bin",
    "console_log_path": "/srv/vms/build01/console.log",
    "mac_address": "02:00:00:00:00:01",
    "cpu_count": 4,
    "memory_mib": 4096,
    "isolated": false,
    "save_path": "/srv/vms/build01/saved-state.bin",
    "vm_name": "build01"
  })");
}

Result<HelperConfig> decode(const Json& file) { return decodeHelperConfig(file.dump()); }

std::string failureOf(const Json& file) {
  Result<HelperConfig> result = decode(file);
  return result ? "<decoded>" : result.error().description;
}

TEST(DecodeHelperConfig, ExampleFileSetsEveryFieldAndCamelCaseKeysDecodeTheSame) {
  auto at = [](const char* name) { return "/srv/vms/build01/" + std::string(name); };
  const HelperConfig expected{at("disk.img"),
                              at("seed.img"),
                              at("efi-vars.bin"),
                              at("machine-id.bin"),
                              at("console.log"),
                              "02:00:00:00:00:01",
                              4,
                              4096,
                              false,
                              at("saved-state.bin"),
                              "build01"};
  Result<HelperConfig> config = decode(exampleFile());
  ASSERT_TRUE(config) << config.error().description;
  EXPECT_TRUE(*config == expected);

  // Extra keys are ignored.
  Json camel;
  const Json snake = exampleFile();
  for (const auto& [key, value] : snake.items()) camel[convertFromSnakeCase(key)] = value;
  camel["name"] = "ignored";
  camel["comment"] = nlohmann::json::array({1, 2});
  ASSERT_TRUE(camel.contains("machineIdentifierPath"));
  config = decode(camel);
  ASSERT_TRUE(config) << config.error().description;
  EXPECT_TRUE(*config == expected);
}

TEST(DecodeHelperConfig, VmNameAbsentOrNullIsAbsentButAnyOtherTypeFails) {
  Json file = exampleFile();
  file.erase("vm_name");
  EXPECT_EQ(decode(file)->vmName, std::nullopt);
  file["vm_name"] = nullptr;
  EXPECT_EQ(decode(file)->vmName, std::nullopt);
  file["vm_name"] = 7;
  EXPECT_EQ(failureOf(file), "\"vm_name\" must be a string or null, found an integer");
}

TEST(DecodeHelperConfig, RequiredFieldsHaveNoDefaultsAndTheFirstFailureInFieldOrderWins) {
  Json file = exampleFile();
  file.erase("isolated");
  EXPECT_EQ(failureOf(file), "key \"isolated\" not found");

  file = exampleFile();
  file.erase("cpu_count");
  file.erase("disk_path");  // earlier in field order than cpu_count
  EXPECT_EQ(failureOf(file), "key \"disk_path\" not found");

  file = exampleFile();
  file["save_path"] = 3;
  file["seed_path"] = nullptr;
  EXPECT_EQ(failureOf(file), "\"seed_path\" must not be null");
}

TEST(DecodeHelperConfig, TypesAreCheckedButRangesAndEmptinessAreNot) {
  Json file = exampleFile();
  file["cpu_count"] = "4";
  EXPECT_EQ(failureOf(file), "\"cpu_count\" must be an integer, found a string");
  file["cpu_count"] = 0;
  EXPECT_EQ(decode(file)->cpuCount, 0);
  file["cpu_count"] = -2;
  EXPECT_EQ(decode(file)->cpuCount, -2);

  file = exampleFile();
  file["isolated"] = 1;
  EXPECT_EQ(failureOf(file), "\"isolated\" must be true or false, found an integer");
  file["isolated"] = true;
  EXPECT_TRUE(decode(file)->isolated);

  file = exampleFile();
  file["disk_path"] = "";
  EXPECT_EQ(decode(file)->diskPath, "");
  file["mac_address"] = false;
  EXPECT_EQ(failureOf(file), "\"mac_address\" must be a string, found a boolean");
}

// The OS would end a path or the share name at a NUL; the MAC address merely fails to parse.
TEST(DecodeHelperConfig, PathsAndTheNameMustNotHoldANul) {
  const std::string withNul("a\0b", 3);
  for (const char* key : {"disk_path", "seed_path", "efi_store_path", "machine_identifier_path",
                          "console_log_path", "save_path", "vm_name"}) {
    Json file = exampleFile();
    file[key] = withNul;
    EXPECT_EQ(failureOf(file), "\"" + std::string(key) + "\" must not contain a NUL character");
  }
  Json file = exampleFile();
  file["mac_address"] = withNul;
  EXPECT_EQ(decode(file)->macAddress, withNul);
}

// The integer rules are applied to the literal text, so they are checked on raw JSON.
std::string withNumbers(std::string_view cpu, std::string_view memory) {
  std::string text = exampleFile().dump();
  auto replace = [&](std::string_view key, std::string_view literal) {
    auto start = text.find(key);
    start = text.find(':', start) + 1;
    auto end = text.find_first_of(",}", start);
    text.replace(start, end - start, literal);
  };
  replace("\"cpu_count\"", cpu);
  replace("\"memory_mib\"", memory);
  return text;
}

TEST(DecodeHelperConfig, CpuCountIsAnySigned64BitIntegerAndMemoryAnyUnsigned64BitInteger) {
  auto decoded = [](std::string_view cpu, std::string_view memory) {
    return decodeHelperConfig(withNumbers(cpu, memory));
  };
  Result<HelperConfig> extremes = decoded("-9223372036854775808", "18446744073709551615");
  ASSERT_TRUE(extremes) << extremes.error().description;
  EXPECT_EQ(extremes->cpuCount, INT64_MIN);
  EXPECT_EQ(extremes->memoryMib, UINT64_MAX);
  EXPECT_EQ(decoded("9223372036854775807", "0")->cpuCount, INT64_MAX);
  EXPECT_EQ(decoded("4.0", "2e3")->memoryMib, 2000u);

  EXPECT_THAT(decoded("9223372036854775808", "1").error().description,
              HasSubstr("\"cpu_count\" must be a signed 64-bit integer"));
  EXPECT_THAT(decoded("2.5", "1").error().description,
              HasSubstr("\"cpu_count\" must be a signed 64-bit integer, found 2.5"));
  EXPECT_THAT(decoded("1", "-1").error().description,
              HasSubstr("\"memory_mib\" must be an integer from 0 to 2^64-1, found -1"));
  EXPECT_THAT(decoded("1", "18446744073709551616").error().description,
              HasSubstr("\"memory_mib\" must be an integer from 0 to 2^64-1"));
  EXPECT_TRUE(decoded("1", "17592186044416"));  // 2^44 decodes; the builder refuses it
}

TEST(DecodeHelperConfig, DocumentsThatAreNotOneJsonObjectFailWithTheirPosition) {
  EXPECT_EQ(decodeHelperConfig("[1, 2]").error().description,
            "the configuration must be a JSON object, found an array");
  EXPECT_THAT(decodeHelperConfig("").error().description,
              HasSubstr("JSON syntax error at line 1, column 1"));
  EXPECT_THAT(decodeHelperConfig("{\n  \"disk_path\": \"a\",\n  oops\n}").error().description,
              HasSubstr("JSON syntax error at line 3, column 3"));
  std::string invalidUtf8 = exampleFile().dump();
  invalidUtf8.replace(invalidUtf8.find("build01"), 1, "\xff");
  EXPECT_THAT(decodeHelperConfig(invalidUtf8).error().description, HasSubstr("JSON syntax error"));
}

TEST(ConvertFromSnakeCase, KeepsOuterUnderscoresAndCapitalisesAfterInnerOnes) {
  EXPECT_EQ(convertFromSnakeCase("machine_identifier_path"), "machineIdentifierPath");
  EXPECT_EQ(convertFromSnakeCase("isolated"), "isolated");
  EXPECT_EQ(convertFromSnakeCase("diskPath"), "diskPath");
  EXPECT_EQ(convertFromSnakeCase("_disk_path"), "_diskPath");
  EXPECT_EQ(convertFromSnakeCase("disk_path__"), "diskPath__");
  EXPECT_EQ(convertFromSnakeCase("___"), "___");
  EXPECT_EQ(convertFromSnakeCase("disk__path"), "diskPath");

  Json file = exampleFile();
  file.erase("disk_path");
  file["_disk_path"] = "/x";  // matches no field
  EXPECT_EQ(failureOf(file), "key \"disk_path\" not found");
}

}  // namespace
}  // namespace tovan
