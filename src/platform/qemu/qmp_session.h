// One QEMU process's QMP conversation, held on the machine's queue: the handshake that readies a
// fresh QEMU, numbered commands with their replies, and a deadline for every answer.
//
// QEMU's messages reach the queue from the process's watcher thread, tagged with the generation
// that begin() gave that process, so that a late message from an earlier QEMU is never taken for
// the current one's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/result.h"
#include "base/timer.h"
#include "platform/qemu/qmp.h"
#include "platform/serial_queue.h"

namespace tovan {

class QemuProcess;

// How long QEMU gets to greet and finish the handshake, and to answer any command.
struct QmpDeadlines {
  double start = 60;
  double reply = 30;
};

class QmpSession {
 public:
  using Reply = std::function<void(const QmpMessage&)>;  // QEMU's success or failure
  struct Handlers {
    std::function<void()> ready;                   // the handshake is done
    std::function<void(const QmpMessage&)> event;  // each event, in order
    // QEMU cannot go on: it refused the handshake or let a deadline pass. Called at most once
    // per process, and not after `lost`.
    std::function<void(Error)> broken;
    // QEMU could not be written to: it has closed its end and is ending, and its own account of
    // why will be the better one. Called at most once per process, and not after `broken`.
    std::function<void(Error)> lost;
  };

  // Deadlines run on `timer` and are handed to `queue`.
  QmpSession(SerialQueue& queue, Timer& timer, QmpDeadlines deadlines = {});
  ~QmpSession();
  QmpSession(const QmpSession&) = delete;
  QmpSession& operator=(const QmpSession&) = delete;

  // Opens the conversation with a process about to be launched; returns the generation its
  // messages must carry. attach() follows once it runs; end() if it could not be launched.
  std::uint64_t begin(Handlers handlers);
  // The process now runs. The handshake starts at its greeting: it leaves negotiation mode, asks
  // for migration events and lifts the migration bandwidth limit, then calls `ready`.
  void attach(QemuProcess& process);
  // The process has gone: its pending replies are dropped and its deadlines cancelled.
  void end();
  // The generation of the current (or last) process.
  std::uint64_t generation() const;
  // The current process's version as its greeting gave it ("7.2.22"); empty before it.
  std::string qemuVersion() const;

  // One message from the process of `generation`; messages of any other are ignored.
  void receive(std::uint64_t generation, const QmpMessage& message);

  // Sends a command; `reply` gets QEMU's answer. When QEMU cannot be written to (`lost`), or does
  // not answer within the reply deadline (`broken`), `reply` is never called.
  void execute(const char* command, const nlohmann::json& arguments, Reply reply, int passFd = -1);

  // Calls `broken` with `why` unless the work is done by then: for steps that take longer than
  // one reply (a migration). Returns a handle for cancel().
  Timer::Id deadline(double seconds, Error why);
  void cancel(Timer::Id id);

 private:
  struct State;
  void handshake();
  void fail(Error why, bool lost = false);
  Timer::Id expect(double seconds, std::function<bool(State&)> stillDue, Error why);

  SerialQueue& queue_;
  Timer& timer_;
  const QmpDeadlines deadlines_;
  std::shared_ptr<State> state_;
};

}  // namespace tovan
