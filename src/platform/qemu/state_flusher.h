// Gets a saved state onto the disk while QEMU is still writing it.
//
// QEMU writes its migration stream straight into the state file and never syncs it. Left alone,
// the kernel would start writing the file out only at the final flush, and the save would take
// the migration's time plus the disk's. The flusher follows the file's growth (inotify: it wakes
// only when QEMU writes) and starts the disk's writeback of every new chunk at once, so the disk
// works alongside the migration and the final flush has little left to do.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/detached_thread.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace tovan {

class StateFlusher {
 public:
  // Called once, on the flusher's thread, after writerDone: everything written is on disk, or
  // the flush failed.
  using Finished = std::function<void(Status)>;

  // Follows writes to `file`, which is open for writing at `path`, starting writeback after every
  // `chunk` new bytes. Without inotify it only flushes at the end.
  static std::unique_ptr<StateFlusher> follow(UniqueFd file, const std::string& path,
                                              std::size_t chunk, Finished finished);

  // Stops following (if writerDone was not called, without reporting) and waits for the thread.
  ~StateFlusher();
  StateFlusher(const StateFlusher&) = delete;
  StateFlusher& operator=(const StateFlusher&) = delete;

  // The file, to hand to the writer.
  int file() const { return file_.get(); }

  // The writer has finished, or given up: flush what there is and report. Any thread.
  void writerDone();

 private:
  StateFlusher() = default;
  void run(std::size_t chunk, Finished finished);

  UniqueFd file_;
  UniqueFd changes_;  // inotify, or -1
  UniqueFd done_;     // eventfd: the writer has finished (1) or the flusher goes away (2)
  DetachedThread thread_;
};

}  // namespace tovan
