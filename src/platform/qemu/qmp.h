// The QEMU Machine Protocol as the backend speaks it: JSON objects, one per line, over a stream
// socket. Commands carry a numeric "id" that QEMU echoes in its reply; events arrive unasked.
//
// Everything here is pure except sendQmp, which writes to the socket.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tovan {

// The descriptor number at which QEMU finds its end of the QMP socket.
constexpr int kQmpDescriptor = 3;
// The first descriptor number of the files the helper hands QEMU at its start.
constexpr int kFirstPassedDescriptor = 4;

enum class QmpKind {
  greeting,  // {"QMP": {...}}: QEMU is listening
  success,   // {"return": ..., "id": n}
  failure,   // {"error": {"class": ..., "desc": ...}, "id": n}
  event,     // {"event": "NAME", "data": {...}, "timestamp": ...}
  unknown,
};

struct QmpMessage {
  QmpKind kind = QmpKind::unknown;
  std::optional<std::uint64_t> id;  // replies to commands sent with an id
  std::string name;                 // the event's name, or the error's class
  std::string description;          // the error's own text ("desc")
  nlohmann::json payload;           // the return value, the event's data, or the greeting
};

// Sorts one parsed object into its kind. Never throws.
QmpMessage classifyQmpMessage(const nlohmann::json& object);

// Splits the byte stream from QEMU into whole lines and parses each one. Lines that are not JSON
// objects, and lines longer than kMaxLine, are dropped.
class QmpFramer {
 public:
  static constexpr std::size_t kMaxLine = 1 << 20;

  // Calls `deliver` once for every complete object in `bytes`, in order.
  void feed(std::string_view bytes, const std::function<void(const nlohmann::json&)>& deliver);

 private:
  std::string line_;
  bool discarding_ = false;  // inside a line that grew past kMaxLine
};

// One command's wire form, newline included.
std::string qmpCommand(std::string_view execute, std::uint64_t id,
                       const nlohmann::json& arguments = nullptr);

// Writes `text` to the socket in full. When `passFd` is given, the descriptor travels with the
// first byte as SCM_RIGHTS ancillary data, which is how QEMU's `getfd` receives it. Never raises
// SIGPIPE; a closed peer is an error.
Status sendQmp(int socket, std::string_view text, int passFd = -1);

}  // namespace tovan
