#include "platform/qemu/state_relay.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace tovan {

namespace {

// The unit of reading and writing, and how often the disk's writeback is started.
constexpr std::size_t kPiece = 1 << 20;
constexpr std::uint64_t kWritebackChunk = 16 << 20;

// A socketpair with room for whole pieces in flight; a send to a peer that has gone fails with
// EPIPE rather than raising SIGPIPE.
Status makeSocketPair(UniqueFd& own, UniqueFd& qemu) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return errorFromErrno("cannot create the state's socket", errno);
  }
  own.reset(pair[0]);
  qemu.reset(pair[1]);
  const int size = static_cast<int>(kPiece);
  for (int fd : pair) {
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  return {};
}

}  // namespace

Result<std::unique_ptr<StateRelay>> StateRelay::toFile(UniqueFd file, off_t offset,
                                                       Finished finished) {
  std::unique_ptr<StateRelay> relay(new StateRelay);
  if (Status made = makeSocketPair(relay->ownEnd_, relay->qemuEnd_); !made) return made.error();
  relay->file_ = std::move(file);
  StateRelay* self = relay.get();
  relay->start([self, offset] { return self->save(offset); }, std::move(finished));
  return relay;
}

Result<std::unique_ptr<StateRelay>> StateRelay::alongFile(UniqueFd file, off_t offset,
                                                          std::uint64_t length, Finished finished) {
  std::unique_ptr<StateRelay> relay(new StateRelay);
  relay->file_ = std::move(file);
  StateRelay* self = relay.get();
  relay->start([self, offset, length] { return self->readAlong(offset, length); },
               std::move(finished));
  return relay;
}

StateRelay::~StateRelay() {
  stopping_ = true;
  if (ownEnd_.valid()) (void)::shutdown(ownEnd_.get(), SHUT_RDWR);
  thread_.wait();
}

void StateRelay::start(std::function<Outcome()> carry, Finished finished) {
  thread_ = DetachedThread([this, carry = std::move(carry), finished = std::move(finished)] {
    Outcome outcome = carry();
    if (!stopping_) finished(std::move(outcome));
  });
}

StateRelay::Outcome StateRelay::save(off_t offset) {
  Outcome outcome;
  StreamChecksum checksum;
  std::vector<char> piece(kPiece);
  off_t written = offset;
  off_t writebackFrom = offset;
  for (;;) {
    const ssize_t got = ::recv(ownEnd_.get(), piece.data(), piece.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // QEMU closed its end: the stream is whole, or will not be
    checksum.add(piece.data(), static_cast<std::size_t>(got));
    if (outcome.status) {
      for (ssize_t done = 0; done < got;) {
        const ssize_t put = ::pwrite(file_.get(), piece.data() + done,
                                     static_cast<std::size_t>(got - done), written);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
          // Keep draining QEMU, so that it ends its migration instead of waiting on the socket.
          outcome.status = errorFromErrno("cannot write the saved state", errno);
          break;
        }
        done += put;
        written += put;
      }
    }
    if (outcome.status && static_cast<std::uint64_t>(written - writebackFrom) >= kWritebackChunk) {
      (void)::sync_file_range(file_.get(), writebackFrom, written - writebackFrom,
                              SYNC_FILE_RANGE_WRITE);
      writebackFrom = written;
    }
  }
  if (outcome.status && ::fdatasync(file_.get()) != 0) {
    outcome.status = errorFromErrno("cannot write the saved state to disk", errno);
  }
  outcome.length = checksum.length();
  outcome.checksum = checksum.value();
  return outcome;
}

StateRelay::Outcome StateRelay::readAlong(off_t offset, std::uint64_t length) {
  Outcome outcome;
  StreamChecksum checksum;
  std::vector<char> piece(kPiece);
  for (std::uint64_t read = 0; read < length && !stopping_;) {
    const ssize_t got =
        ::pread(file_.get(), piece.data(), std::min<std::uint64_t>(piece.size(), length - read),
                offset + static_cast<off_t>(read));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      outcome.status = errorFromErrno("cannot read the saved state", errno);
      break;
    }
    if (got == 0) break;  // the file is shorter than its header says
    checksum.add(piece.data(), static_cast<std::size_t>(got));
    read += static_cast<std::uint64_t>(got);
  }
  outcome.length = checksum.length();
  outcome.checksum = checksum.value();
  return outcome;
}

}  // namespace tovan
