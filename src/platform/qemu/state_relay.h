// Carries a machine's saved state from QEMU into its file, checksumming every byte on the way;
// and checksums a saved state while QEMU loads it. Each on a thread of its own:
//   - saving, QEMU writes its migration stream into a socket whose other end the relay holds;
//     the relay checksums it as it goes, writes it into the file behind the header's place, and
//     starts the disk's writeback of every 16 MiB at once, so the disk works alongside the
//     migration and the final flush has little left to do. The checksum comes from the bytes as
//     they are written, never from a second pass over the file;
//   - restoring, QEMU reads the stream from the file itself (a copy through the helper would
//     cost a third of the restore), and the relay reads the same bytes alongside it, from the
//     page cache, so that the verdict on them is in before the guest may run again. All of the
//     stream is read even where QEMU stops early (it refused it), so that damage can be told
//     from QEMU's own reasons.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/detached_thread.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "platform/saved_state.h"

namespace tovan {

class StateRelay {
 public:
  struct Outcome {
    std::uint64_t length = 0;    // bytes of the stream carried (restoring: read from the file)
    std::uint64_t checksum = 0;  // of those bytes
    Status status;               // saving: whether all of it reached the file and the disk
  };
  // Called once, on the relay's thread, when the stream has ended.
  using Finished = std::function<void(Outcome)>;

  // Saving: what QEMU writes into qemuEnd() goes into `file` from byte `offset` on; at the
  // stream's end the file's data is flushed and the relay reports.
  static Result<std::unique_ptr<StateRelay>> toFile(UniqueFd file, off_t offset, Finished finished);
  // Restoring: checksums `length` bytes of `file` from byte `offset` on. No socket.
  static Result<std::unique_ptr<StateRelay>> alongFile(UniqueFd file, off_t offset,
                                                       std::uint64_t length, Finished finished);

  // Stops carrying (the report may or may not come) and waits for the thread.
  ~StateRelay();
  StateRelay(const StateRelay&) = delete;
  StateRelay& operator=(const StateRelay&) = delete;

  // Saving: QEMU's end of the socket, to hand over with `getfd`; closed here once QEMU holds its
  // own.
  int qemuEnd() const { return qemuEnd_.get(); }
  void releaseQemuEnd() { qemuEnd_.reset(); }

 private:
  StateRelay() = default;
  void start(std::function<Outcome()> carry, Finished finished);
  Outcome save(off_t offset);
  Outcome readAlong(off_t offset, std::uint64_t length);

  UniqueFd file_;
  UniqueFd ownEnd_;
  UniqueFd qemuEnd_;
  std::atomic<bool> stopping_{false};
  DetachedThread thread_;
};

}  // namespace tovan
