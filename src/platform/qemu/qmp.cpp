#include "platform/qemu/qmp.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace tovan {

namespace {

std::string stringMember(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return {};
  return found->get<std::string>();
}

}  // namespace

QmpMessage classifyQmpMessage(const nlohmann::json& object) {
  QmpMessage message;
  if (!object.is_object()) return message;
  if (auto id = object.find("id"); id != object.end() && id->is_number_unsigned()) {
    message.id = id->get<std::uint64_t>();
  }
  if (auto value = object.find("return"); value != object.end()) {
    message.kind = QmpKind::success;
    message.payload = *value;
  } else if (auto error = object.find("error"); error != object.end() && error->is_object()) {
    message.kind = QmpKind::failure;
    message.name = stringMember(*error, "class");
    message.description = stringMember(*error, "desc");
    if (message.description.empty()) message.description = "QEMU refused the command";
  } else if (auto event = object.find("event"); event != object.end() && event->is_string()) {
    message.kind = QmpKind::event;
    message.name = event->get<std::string>();
    if (auto data = object.find("data"); data != object.end()) message.payload = *data;
  } else if (auto greeting = object.find("QMP"); greeting != object.end()) {
    message.kind = QmpKind::greeting;
    message.payload = *greeting;
  }
  return message;
}

void QmpFramer::feed(std::string_view bytes,
                     const std::function<void(const nlohmann::json&)>& deliver) {
  while (!bytes.empty()) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (!discarding_) {
      if (line_.size() + piece.size() > kMaxLine) {
        discarding_ = true;
        line_.clear();
      } else {
        line_.append(piece);
      }
    }
    if (newline == std::string_view::npos) return;
    bytes.remove_prefix(newline + 1);
    if (!discarding_ && !line_.empty()) {
      nlohmann::json object = nlohmann::json::parse(line_, nullptr, /*allow_exceptions=*/false);
      if (object.is_object()) deliver(object);
    }
    discarding_ = false;
    line_.clear();
  }
}

std::string qmpCommand(std::string_view execute, std::uint64_t id,
                       const nlohmann::json& arguments) {
  nlohmann::ordered_json command;
  command["execute"] = execute;
  if (!arguments.is_null()) command["arguments"] = arguments;
  command["id"] = id;
  std::string text = command.dump();
  text += '\n';
  return text;
}

Status sendQmp(int socket, std::string_view text, int passFd) {
  bool attach = passFd >= 0;
  while (!text.empty()) {
    iovec chunk{const_cast<char*>(text.data()), text.size()};
    msghdr message{};
    message.msg_iov = &chunk;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (attach) {
      std::memset(control, 0, sizeof control);
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &passFd, sizeof(int));
    }
    ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return errorFromErrno("cannot talk to QEMU", errno);
    }
    attach = false;  // the descriptor went with the first byte
    text.remove_prefix(static_cast<std::size_t>(sent));
  }
  return {};
}

}  // namespace tovan
