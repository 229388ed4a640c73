#include "config/helper_config.h"

#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "base/files.h"

namespace tovan {

namespace {

using Json = nlohmann::ordered_json;

// The snake-case key of a field, as the parent writes it; used in descriptions.
std::string snakeCaseOf(std::string_view field) {
  std::string key;
  for (char c : field) {
    if (c >= 'A' && c <= 'Z') {
      key += '_';
      key += static_cast<char>(c - 'A' + 'a');
    } else {
      key += c;
    }
  }
  return key;
}

const char* typeNameOf(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "an integer";
    case Json::value_t::number_float:
      return "a number with a fraction or exponent";
    default:
      return "an unsupported value";
  }
}

// Position of byte offset `byte` (counted from 1, as the parser reports it) as line and column.
std::string positionOf(std::string_view text, std::size_t byte) {
  std::size_t line = 1;
  std::size_t column = 1;
  std::size_t end = byte == 0 ? 0 : std::min(byte - 1, text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// The parser's own reason without its "[json.exception...] parse error at ...: " preamble.
std::string reasonOf(const nlohmann::json::parse_error& error) {
  std::string what = error.what();
  auto colon = what.find(": ");
  std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
  if (reason.rfind("syntax error while parsing value - ", 0) == 0) {
    reason.erase(0, std::string("syntax error while parsing value - ").size());
  }
  return reason;
}

class Decoder {
 public:
  explicit Decoder(const Json& object) {
    // Later keys win when two spellings name the same field, as with duplicate JSON keys.
    for (auto it = object.begin(); it != object.end(); ++it) {
      fields_[convertFromSnakeCase(it.key())] = &it.value();
    }
  }

  std::optional<Error> failure;

  const Json* required(std::string_view field) {
    if (failure) return nullptr;
    auto it = fields_.find(std::string(field));
    if (it == fields_.end()) {
      fail("key \"" + snakeCaseOf(field) + "\" not found");
      return nullptr;
    }
    if (it->second->is_null()) {
      fail("\"" + snakeCaseOf(field) + "\" must not be null");
      return nullptr;
    }
    return it->second;
  }

  void string(std::string_view field, std::string& out) {
    const Json* value = required(field);
    if (!value) return;
    if (!value->is_string()) return mismatch(field, "a string", *value);
    out = value->get<std::string>();
  }

  void optionalString(std::string_view field, std::optional<std::string>& out) {
    if (failure) return;
    auto it = fields_.find(std::string(field));
    if (it == fields_.end() || it->second->is_null()) return;
    if (!it->second->is_string()) return mismatch(field, "a string or null", *it->second);
    out = it->second->get<std::string>();
  }

  void boolean(std::string_view field, bool& out) {
    const Json* value = required(field);
    if (!value) return;
    if (!value->is_boolean()) return mismatch(field, "true or false", *value);
    out = value->get<bool>();
  }

  void signedInteger(std::string_view field, std::int64_t& out) {
    const Json* value = required(field);
    if (!value) return;
    if (value->is_number_integer() && !value->is_number_unsigned()) {
      out = value->get<std::int64_t>();
    } else if (value->is_number_unsigned()) {
      auto number = value->get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return outOfRange(field, "a signed 64-bit integer", *value);
      }
      out = static_cast<std::int64_t>(number);
    } else if (value->is_number_float()) {
      double number = value->get<double>();
      // [-2^63, 2^63): the doubles in this range convert exactly when integral.
      if (std::trunc(number) != number || !(number >= -9223372036854775808.0) ||
          !(number < 9223372036854775808.0)) {
        return outOfRange(field, "a signed 64-bit integer", *value);
      }
      out = static_cast<std::int64_t>(number);
    } else {
      return mismatch(field, "an integer", *value);
    }
  }

  void unsignedInteger(std::string_view field, std::uint64_t& out) {
    const Json* value = required(field);
    if (!value) return;
    if (value->is_number_unsigned()) {
      out = value->get<std::uint64_t>();
    } else if (value->is_number_integer()) {
      auto number = value->get<std::int64_t>();
      if (number < 0) return outOfRange(field, "an integer from 0 to 2^64-1", *value);
      out = static_cast<std::uint64_t>(number);
    } else if (value->is_number_float()) {
      double number = value->get<double>();
      if (std::trunc(number) != number || !(number >= 0.0) || !(number < 18446744073709551616.0)) {
        return outOfRange(field, "an integer from 0 to 2^64-1", *value);
      }
      out = static_cast<std::uint64_t>(number);
    } else {
      return mismatch(field, "an integer", *value);
    }
  }

 private:
  void fail(std::string description) {
    if (!failure) failure = Error{std::move(description)};
  }
  void mismatch(std::string_view field, std::string_view expected, const Json& value) {
    fail("\"" + snakeCaseOf(field) + "\" must be " + std::string(expected) + ", found " +
         typeNameOf(value));
  }
  void outOfRange(std::string_view field, std::string_view expected, const Json& value) {
    fail("\"" + snakeCaseOf(field) + "\" must be " + std::string(expected) + ", found " +
         value.dump());
  }

  std::map<std::string, const Json*> fields_;
};

}  // namespace

std::string convertFromSnakeCase(std::string_view key) {
  std::size_t first = key.find_first_not_of('_');
  if (first == std::string_view::npos) return std::string(key);
  std::size_t last = key.find_last_not_of('_');
  std::string_view middle = key.substr(first, last - first + 1);
  if (middle.find('_') == std::string_view::npos) return std::string(key);

  std::string converted(key.substr(0, first));
  bool upperNext = false;
  for (char c : middle) {
    if (c == '_') {
      upperNext = true;
      continue;
    }
    if (upperNext && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    upperNext = false;
    converted += c;
  }
  converted += key.substr(last + 1);
  return converted;
}

Result<HelperConfig> decodeHelperConfig(std::string_view bytes) {
  Json document;
  try {
    document = Json::parse(bytes.begin(), bytes.end());
  } catch (const nlohmann::json::parse_error& error) {
    return Error{"JSON syntax error at " + positionOf(bytes, error.byte) + ": " + reasonOf(error)};
  }
  if (!document.is_object()) {
    return Error{std::string("the configuration must be a JSON object, found ") +
                 typeNameOf(document)};
  }

  HelperConfig config;
  Decoder decoder(document);
  decoder.string("diskPath", config.diskPath);
  decoder.string("seedPath", config.seedPath);
  decoder.string("efiStorePath", config.efiStorePath);
  decoder.string("machineIdentifierPath", config.machineIdentifierPath);
  decoder.string("consoleLogPath", config.consoleLogPath);
  decoder.string("macAddress", config.macAddress);
  decoder.signedInteger("cpuCount", config.cpuCount);
  decoder.unsignedInteger("memoryMib", config.memoryMib);
  decoder.boolean("isolated", config.isolated);
  decoder.string("savePath", config.savePath);
  decoder.optionalString("vmName", config.vmName);
  if (decoder.failure) return *decoder.failure;
  return config;
}

Result<HelperConfig> readHelperConfig(const std::string& path) {
  Result<std::string> bytes = readWholeFile(path);
  if (!bytes) return bytes.error();
  return decodeHelperConfig(*bytes);
}

}  // namespace tovan
