#include "base/result.h"

#include <cstring>
#include <string>

namespace tovan {

Error errorFromErrno(std::string_view what, int code) {
  std::string text(what);
  text += ": ";
  text += std::strerror(code);
  return Error{std::move(text)};
}

}  // namespace tovan
