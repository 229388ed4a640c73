#include "platform/qemu/state_flusher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tovan {

namespace {

constexpr std::uint64_t kWriterDone = 1;
constexpr std::uint64_t kGoingAway = 2;

}  // namespace

std::unique_ptr<StateFlusher> StateFlusher::follow(UniqueFd file, const std::string& path,
                                                   std::size_t chunk, Finished finished) {
  std::unique_ptr<StateFlusher> flusher(new StateFlusher);
  flusher->file_ = std::move(file);
  flusher->done_.reset(::eventfd(0, EFD_CLOEXEC));
  flusher->changes_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (flusher->changes_.valid() &&
      ::inotify_add_watch(flusher->changes_.get(), path.c_str(), IN_MODIFY) < 0) {
    flusher->changes_.reset();  // the final flush alone still gets it all on disk
  }
  StateFlusher* self = flusher.get();
  flusher->thread_ =
      DetachedThread([self, chunk, finished = std::move(finished)] { self->run(chunk, finished); });
  return flusher;
}

StateFlusher::~StateFlusher() {
  const std::uint64_t goingAway = kGoingAway;
  (void)!::write(done_.get(), &goingAway, sizeof goingAway);
  thread_.wait();
}

void StateFlusher::writerDone() {
  const std::uint64_t writerDone = kWriterDone;
  (void)!::write(done_.get(), &writerDone, sizeof writerDone);
}

void StateFlusher::run(std::size_t chunk, Finished finished) {
  off_t started = 0;  // writeback has been started up to here
  char events[4096];
  std::uint64_t reason = 0;
  for (;;) {
    pollfd fds[2] = {{done_.get(), POLLIN, 0}, {changes_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      (void)!::read(done_.get(), &reason, sizeof reason);
      break;
    }
    // Consecutive modifications arrive as one event; what matters is how far the file reaches.
    while (::read(changes_.get(), events, sizeof events) > 0) {
    }
    struct stat info;
    if (::fstat(file_.get(), &info) == 0 && info.st_size - started >= static_cast<off_t>(chunk)) {
      (void)::sync_file_range(file_.get(), started, info.st_size - started, SYNC_FILE_RANGE_WRITE);
      started = info.st_size;
    }
  }
  if (reason & kGoingAway) return;
  Status flushed;
  if (::fdatasync(file_.get()) != 0) {
    flushed = errorFromErrno("cannot write the saved state to disk", errno);
  }
  finished(flushed);
}

}  // namespace tovan
