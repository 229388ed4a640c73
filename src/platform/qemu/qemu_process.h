// One QEMU process: started with exactly the descriptors it needs, watched by one thread of its
// own, and never left running once the helper is gone.
//
// The child gets: 0 = /dev/null (never the helper's standard input), 1 = the given output file
// or /dev/null, 2 = a pipe that the watcher drains, kQmpDescriptor = its end of a socketpair
// carrying QMP, and from kFirstPassedDescriptor on the files the caller passes (the machine's
// images, opened by the helper). Every other descriptor is closed, signal dispositions are the
// defaults, the signal mask is empty, and it runs in a process group of its own (a terminal's
// signals are for the helper, which ignores them). It is killed when the thread that launched it
// ends (PR_SET_PDEATHSIG), so that thread must live as long as the helper: the machine's queue. An
// exit hook kills it, and waits briefly for its end, whenever the helper calls exitProcess.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "base/detached_thread.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "platform/qemu/qmp.h"

namespace tovan {

struct ProcessEnd {
  int waitStatus = 0;       // as waitpid reports it
  std::string errorOutput;  // the last few KiB that the process wrote to its standard error
};

// QEMU's own account of why it ended: its error messages without the program-name prefix,
// warnings left out, hint lines joined to their message, messages joined by "; ". When QEMU said
// nothing: `fallback` if given, else the exit status or signal.
std::string describeProcessEnd(const ProcessEnd& end, std::string_view fallback = {});

class QemuProcess {
 public:
  struct Handlers {
    // Each QMP object in arrival order, on the watcher thread.
    std::function<void(const nlohmann::json&)> message;
    // Once and last, after the process has been reaped, on the watcher thread.
    std::function<void(ProcessEnd)> ended;
  };

  // Starts `argv` (argv[0] is the program's path) from the calling thread (base/
  // child_process.h). `outputFd` becomes the child's standard output; -1 gives it /dev/null.
  // `passFds[i]` becomes the child's descriptor kFirstPassedDescriptor + i. Fails when the
  // process cannot be created or the program cannot be executed.
  static Result<std::unique_ptr<QemuProcess>> launch(const std::vector<std::string>& argv,
                                                     int outputFd, const std::vector<int>& passFds,
                                                     Handlers handlers);

  // Kills the process if it still runs and waits for the watcher thread; `ended` has been
  // called by the time this returns.
  ~QemuProcess();
  QemuProcess(const QemuProcess&) = delete;
  QemuProcess& operator=(const QemuProcess&) = delete;

  // Writes one QMP message, optionally passing a descriptor with it. Any thread; the socket
  // is never closed before the destructor.
  Status send(std::string_view text, int passFd = -1);

  // Sends SIGKILL unless the process has already been reaped. The end still arrives through
  // Handlers::ended.
  void kill();

  pid_t pid() const { return pid_; }

 private:
  QemuProcess(pid_t pid, UniqueFd pidfd, UniqueFd qmp, UniqueFd errors, Handlers handlers);
  void watch();

  const pid_t pid_;
  UniqueFd pidfd_;  // -1 on kernels without pidfd_open
  UniqueFd qmp_;
  UniqueFd errors_;
  Handlers handlers_;
  int slot_ = -1;  // this process's entry among the children the exit hook kills
  std::atomic<bool> reaped_{false};
  DetachedThread watcher_;  // last member: waited for before the others go
};

}  // namespace tovan
