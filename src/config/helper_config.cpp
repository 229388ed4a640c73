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

// The parser's message without its "[json.exception.<kind>.<id>] " preamble and, for syntax
// errors, without the position and context that the description states in its own words.
std::string reasonOf(const nlohmann::json::exception& error) {
  std::string reason = error.what();
  if (reason.rfind("[json.exception.", 0) == 0) {
    auto end = reason.find("] ");
    if (end != std::string::npos) reason.erase(0, end + 2);
  }
  if (reason.rfind("parse error", 0) == 0) {
    auto colon = reason.find(": ");
    if (colon != std::string::npos) reason.erase(0, colon + 2);
  }
  constexpr std::string_view kContext = "syntax error while parsing value - ";
  if (reason.rfind(kContext, 0) == 0) reason.erase(0, kContext.size());
  return reason;
}

// Replays a document that failed to parse, only to learn where and why it failed: the parser
// hands its SAX consumer the byte position and the exception, which a plain parse throws or
// discards without the position for some failures (a number out of range).
class FailureFinder final : public nlohmann::json_sax<Json> {
 public:
  explicit FailureFinder(std::string_view bytes) : bytes_(bytes) {}

  std::string description = "JSON syntax error";

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string& lastToken,
                   const nlohmann::detail::exception& error) override {
    // A number is refused once it has been read whole; point at its first character.
    const bool isNumber = error.id == 406;
    description = std::string(isNumber ? "JSON number out of range" : "JSON syntax error") +
                  " at " +
                  positionOf(bytes_, isNumber ? position - lastToken.size() + 1 : position) + ": " +
                  reasonOf(error);
    return false;
  }

 private:
  std::string_view bytes_;
};

Error parseFailureOf(std::string_view bytes) {
  FailureFinder finder(bytes);
  (void)Json::sax_parse(bytes.begin(), bytes.end(), &finder, nlohmann::json::input_format_t::json,
                        /*strict=*/true, /*ignore_comments=*/false);
  return Error{finder.description};
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

  // A path or a name goes to the OS as a C string, where a NUL would end it early: "s\u0000x"
  // would name "s", and the save file's ".part" companion would then be the save file itself.
  void path(std::string_view field, std::string& out) {
    string(field, out);
    if (!failure) refuseNul(field, out);
  }

  // The machine's name, optional and used as a share name, so refused with a NUL like a path.
  void optionalName(std::string_view field, std::optional<std::string>& out) {
    if (failure) return;
    auto it = fields_.find(std::string(field));
    if (it == fields_.end() || it->second->is_null()) return;
    if (!it->second->is_string()) return mismatch(field, "a string or null", *it->second);
    out = it->second->get<std::string>();
    refuseNul(field, *out);
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
  void refuseNul(std::string_view field, const std::string& value) {
    if (value.find('\0') != std::string::npos) {
      fail("\"" + snakeCaseOf(field) + "\" must not contain a NUL character");
    }
  }
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
  Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return parseFailureOf(bytes);
  if (!document.is_object()) {
    return Error{std::string("the configuration must be a JSON object, found ") +
                 typeNameOf(document)};
  }

  HelperConfig config;
  Decoder decoder(document);
  decoder.path("diskPath", config.diskPath);
  decoder.path("seedPath", config.seedPath);
  decoder.path("efiStorePath", config.efiStorePath);
  decoder.path("machineIdentifierPath", config.machineIdentifierPath);
  decoder.path("consoleLogPath", config.consoleLogPath);
  decoder.string("macAddress", config.macAddress);  // a NUL only makes it fail to parse
  decoder.signedInteger("cpuCount", config.cpuCount);
  decoder.unsignedInteger("memoryMib", config.memoryMib);
  decoder.boolean("isolated", config.isolated);
  decoder.path("savePath", config.savePath);
  decoder.optionalName("vmName", config.vmName);
  if (decoder.failure) return *decoder.failure;
  return config;
}

Result<HelperConfig> readHelperConfig(const std::string& path) {
  Result<std::string> bytes = readWholeFile(path);
  if (!bytes) return bytes.error();
  return decodeHelperConfig(*bytes);
}

}  // namespace tovan
