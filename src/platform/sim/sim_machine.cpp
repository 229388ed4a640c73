#include "platform/sim/sim_machine.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/files.h"
#include "base/timer.h"
#include "platform/sim/sim_files.h"

namespace tovan {

namespace {

enum class State { stopped, starting, running, pausing, paused, resuming, saving, restoring };

const char* nameOf(State state) {
  switch (state) {
    case State::stopped:
      return "stopped";
    case State::starting:
      return "starting";
    case State::running:
      return "running";
    case State::pausing:
      return "pausing";
    case State::paused:
      return "paused";
    case State::resuming:
      return "resuming";
    case State::saving:
      return "saving";
    case State::restoring:
      return "restoring";
  }
  return "stopped";
}

constexpr const char* kNeedsNewerHost =
    "saving and restoring machine state needs macOS 14 or later";

}  // namespace

// Everything the machine is. Touched only on the queue, except by the owner's destructor, which
// only cancels the timer and lets go of it. Work scheduled for later holds it weakly, so that
// nothing runs for a machine that is gone.
struct SimMachine::Core : std::enable_shared_from_this<Core> {
  using Clock = Timer::Clock;
  using Action = std::function<void(Core&)>;
  using Outcome = std::function<std::optional<Error>(Core&)>;

  Core(MachineConfiguration machineConfiguration, SimScript machineScript,
       SerialQueue& machineQueue)
      : configuration(std::move(machineConfiguration)),
        script(std::move(machineScript)),
        queue(machineQueue) {}

  MachineConfiguration configuration;
  SimScript script;
  SerialQueue& queue;
  MachineDelegate* delegate = nullptr;

  State state = State::stopped;
  // Counts the machine's stops: work scheduled before the latest stop is void.
  std::uint64_t life = 0;
  bool hasRun = false;
  // The guest decided to power off while it could not (paused); it does as soon as it runs.
  bool powerOffPending = false;
  Completion inFlight;  // the start, restore, resume, pause or save under way
  const char* inFlightVerb = "";
  double secondsRunBefore = 0;  // over the stretches of running before the current one
  Clock::time_point runningSince;

  // Every call: on the machine's queue, or the caller has a bug and the process aborts saying so.
  Core& enter(const char* call) {
    if (!queue.isCurrent()) {
      std::fprintf(stderr, "sim: Machine::%s called off the machine's queue \"%s\"\n", call,
                   queue.label().c_str());
      std::abort();
    }
    return *this;
  }

  // A scripted stall holds the machine's queue, as a hung file operation would.
  void stallIfScripted(SimOperation operation) {
    if (const auto& stall = script.stall; stall && stall->operation == operation) {
      std::this_thread::sleep_for(std::chrono::duration<double>(stall->seconds));
    }
  }

  // Runs `action` on the queue `seconds` from now, unless the machine is gone by then.
  void later(double seconds, Action action) {
    std::weak_ptr<Core> weak = weak_from_this();
    SerialQueue* target = &queue;
    auto work = [weak, action = std::move(action)] {
      if (auto core = weak.lock()) action(*core);
    };
    if (seconds <= 0) {
      target->async(std::move(work));
      return;
    }
    processTimer().scheduleIn(
        seconds, [target, work = std::move(work)]() mutable { target->async(std::move(work)); },
        this);
  }

  // Same, but only while the machine has not stopped in between.
  void laterInThisLife(double seconds, Action action) {
    later(seconds, [scheduledIn = life, action = std::move(action)](Core& core) {
      if (core.life == scheduledIn) action(core);
    });
  }

  void completeLater(Completion done, std::optional<Error> error) {
    later(0, [done = std::move(done), error = std::move(error)](Core&) { done(error); });
  }

  double secondsRun() const {
    double seconds = secondsRunBefore;
    if (state == State::running) {
      seconds += std::chrono::duration<double>(Clock::now() - runningSince).count();
    }
    return seconds;
  }

  void setState(State next) {
    if (state == State::running && next != State::running) secondsRunBefore = secondsRun();
    const bool wasRunning = state == State::running;
    state = next;
    if (next != State::running || wasRunning) return;
    runningSince = Clock::now();
    if (!hasRun) {
      hasRun = true;
      scheduleFirstRunEvents();
    }
    if (powerOffPending) {
      powerOffPending = false;
      laterInThisLife(0, [](Core& core) { core.guestPowersOff(); });
    }
  }

  void scheduleFirstRunEvents() {
    if (script.powerOffAfterSeconds) {
      laterInThisLife(*script.powerOffAfterSeconds, [](Core& core) { core.guestPowersOff(); });
    }
    if (const auto& error = script.errorAfter) {
      laterInThisLife(error->seconds, [description = error->description](Core& core) {
        core.stop();
        core.later(0, [description](Core& stopped) {
          if (stopped.delegate) stopped.delegate->didStopWithError(Error{description});
        });
      });
    }
    if (const auto& detach = script.detachNetworkAfter) {
      laterInThisLife(detach->seconds, [description = detach->description](Core& core) {
        if (core.delegate && !core.configuration.networkDevices.empty()) {
          core.delegate->networkAttachmentWasDisconnected(Error{description});
        }
      });
    }
  }

  void guestPowersOff() {
    if (state == State::stopped) return;
    if (state != State::running) {
      powerOffPending = true;
      return;
    }
    stop();
    later(0, [](Core& stopped) {
      if (stopped.delegate) stopped.delegate->guestDidStop();
    });
  }

  // The operation in flight, cut short, completes before anything else is told of the stop.
  void stop() {
    setState(State::stopped);
    ++life;
    powerOffPending = false;
    if (Completion done = std::exchange(inFlight, nullptr)) {
      completeLater(std::move(done), Error{std::string("the machine stopped before ") +
                                           inFlightVerb + " completed"});
    }
  }

  // The shape of every asynchronous operation: it needs state `required`, passes through
  // `during` for `seconds`, and then `outcome` settles the final state and the result. A stop
  // in between cuts it short.
  void operate(const char* verb, State required, State during, double seconds, Completion done,
               Outcome outcome) {
    if (state != required) {
      completeLater(std::move(done), Error{std::string("cannot ") + verb +
                                           " the machine while it is " + nameOf(state)});
      return;
    }
    setState(during);
    inFlight = std::move(done);
    inFlightVerb = verb;
    laterInThisLife(seconds, [outcome = std::move(outcome)](Core& core) {
      if (Completion finished = std::exchange(core.inFlight, nullptr)) finished(outcome(core));
    });
  }

  // The scripted failure of `operation`, if any, after moving to `onFailure`.
  std::optional<Error> scriptedFailure(SimOperation operation, State onFailure) {
    const std::string* description = script.failure(operation);
    if (!description) return std::nullopt;
    setState(onFailure);
    return Error{*description};
  }

  void writeConsole(std::string_view text) {
    for (const SerialPort& port : configuration.serialPorts) {
      if (port.log && port.log->valid()) (void)writeAll(port.log->get(), text);
    }
  }

  Result<DiskIdentity> disk() const {
    return DiskIdentity::of(configuration.storageDevices.empty()
                                ? std::string()
                                : configuration.storageDevices.front().path);
  }

  // The operations, as the machine's public methods forward them.

  void start(Completion done) {
    stallIfScripted(SimOperation::start);
    if (state == State::stopped) writeConsole("sim guest booting\r\n");
    operate("start", State::stopped, State::starting, script.bootSeconds, std::move(done),
            [](Core& core) -> std::optional<Error> {
              if (auto failed = core.scriptedFailure(SimOperation::start, State::stopped)) {
                return failed;
              }
              core.setState(State::running);
              core.writeConsole("sim guest ready\r\n");
              return std::nullopt;
            });
  }

  void restore(const std::string& path, Completion done) {
    stallIfScripted(SimOperation::restore);
    if (script.host == SimHost::macos13)
      return completeLater(std::move(done), Error{kNeedsNewerHost});
    operate("restore", State::stopped, State::restoring, script.restoreSeconds, std::move(done),
            [path](Core& core) -> std::optional<Error> {
              if (auto failed = core.scriptedFailure(SimOperation::restore, State::stopped)) {
                return failed;
              }
              Result<DiskIdentity> disk = core.disk();
              if (!disk) return disk.error();
              Result<double> uptime = readSimSavedState(path, core.configuration, *disk);
              if (!uptime) {
                core.setState(State::stopped);
                return uptime.error();
              }
              core.secondsRunBefore = *uptime;
              core.setState(State::paused);
              return std::nullopt;
            });
  }

  // Pause and resume: instant moves between running and paused, unless scripted to fail.
  void toggle(SimOperation operation, State from, State during, State to, Completion done) {
    stallIfScripted(operation);
    operate(simOperationName(operation).data(), from, during, 0, std::move(done),
            [operation, from, to](Core& core) -> std::optional<Error> {
              if (auto failed = core.scriptedFailure(operation, from)) return failed;
              core.setState(to);
              return std::nullopt;
            });
  }

  void save(const std::string& path, Completion done) {
    stallIfScripted(SimOperation::save);
    if (script.host == SimHost::macos13)
      return completeLater(std::move(done), Error{kNeedsNewerHost});
    operate("save", State::paused, State::saving, script.saveSeconds, std::move(done),
            [path](Core& core) -> std::optional<Error> {
              if (auto failed = core.scriptedFailure(SimOperation::save, State::paused)) {
                return failed;
              }
              core.setState(State::paused);
              Result<DiskIdentity> disk = core.disk();
              if (!disk) return disk.error();
              if (Status written =
                      writeSimSavedState(path, core.configuration, *disk, core.secondsRun());
                  !written) {
                return written.error();
              }
              return std::nullopt;
            });
  }

  Status requestStop() {
    if (state != State::running) {
      return Error{std::string("cannot request a stop while the machine is ") + nameOf(state)};
    }
    if (const std::string* description = script.failure(SimOperation::stopRequest)) {
      return Error{*description};
    }
    if (script.stopResponseSeconds) {
      laterInThisLife(*script.stopResponseSeconds, [](Core& core) { core.guestPowersOff(); });
    }
    return {};
  }
};

SimMachine::SimMachine(MachineConfiguration configuration, SimScript script, SerialQueue& queue)
    : core_(std::make_shared<Core>(std::move(configuration), std::move(script), queue)) {}

SimMachine::~SimMachine() { processTimer().cancelAll(core_.get()); }

// Each call checks that it is made on the machine's queue, then hands over to the core.
void SimMachine::setDelegate(MachineDelegate* delegate) {
  core_->enter("setDelegate");
  core_->delegate = delegate;
}
void SimMachine::start(Completion done) { core_->enter("start").start(std::move(done)); }
void SimMachine::restoreMachineState(const std::string& path, Completion done) {
  core_->enter("restoreMachineState").restore(path, std::move(done));
}
void SimMachine::resume(Completion done) {
  core_->enter("resume").toggle(SimOperation::resume, State::paused, State::resuming,
                                State::running, std::move(done));
}
void SimMachine::pause(Completion done) {
  core_->enter("pause").toggle(SimOperation::pause, State::running, State::pausing, State::paused,
                               std::move(done));
}
void SimMachine::saveMachineState(const std::string& path, Completion done) {
  core_->enter("saveMachineState").save(path, std::move(done));
}
bool SimMachine::canPause() const { return core_->enter("canPause").state == State::running; }
bool SimMachine::canRequestStop() const {
  return core_->enter("canRequestStop").state == State::running;
}
Status SimMachine::requestStop() { return core_->enter("requestStop").requestStop(); }

}  // namespace tovan
