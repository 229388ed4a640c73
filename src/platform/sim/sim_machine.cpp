#include "platform/sim/sim_machine.h"

#include <cstdio>
#include <cstdlib>

#include "base/files.h"
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
  using Clock = SimTimer::Clock;
  using Action = std::function<void(Core&)>;
  using Outcome = std::function<std::optional<Error>(Core&)>;

  Core(MachineConfiguration machineConfiguration, SimScript machineScript,
       SerialQueue& machineQueue, std::shared_ptr<SimTimer> platformTimer)
      : configuration(std::move(machineConfiguration)),
        script(std::move(machineScript)),
        queue(machineQueue),
        timer(std::move(platformTimer)) {}

  MachineConfiguration configuration;
  SimScript script;
  SerialQueue& queue;
  std::shared_ptr<SimTimer> timer;
  MachineDelegate* delegate = nullptr;

  State state = State::stopped;
  // Counts the machine's stops: work scheduled before the latest stop is void.
  std::uint64_t life = 0;
  bool hasRun = false;
  // The guest decided to power off while it could not (paused); it does as soon as it runs.
  bool powerOffPending = false;
  double secondsRunBefore = 0;  // over the stretches of running before the current one
  Clock::time_point runningSince;

  void requireQueue(const char* operation) const {
    if (queue.isCurrent()) return;
    std::fprintf(stderr, "sim: Machine::%s called off the machine's queue \"%s\"\n", operation,
                 queue.label().c_str());
    std::abort();
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
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    timer->schedule(deadline, this,
                    [target, work = std::move(work)]() mutable { target->async(std::move(work)); });
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
        if (core.delegate) core.delegate->didStopWithError(Error{description});
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
    if (delegate) delegate->guestDidStop();
  }

  void stop() {
    setState(State::stopped);
    ++life;
    powerOffPending = false;
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
    later(seconds, [verb, startedIn = life, done = std::move(done),
                    outcome = std::move(outcome)](Core& core) {
      if (core.life != startedIn) {
        done(Error{std::string("the machine stopped before ") + verb + " completed"});
        return;
      }
      done(outcome(core));
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

  SimSavedState savedState() const {
    return SimSavedState{configuration.machineIdentifier.dataRepresentation, configuration.cpuCount,
                         configuration.memorySize, secondsRun()};
  }

  bool isThisMachine(const SimSavedState& saved) const {
    return saved.machineIdentifier == configuration.machineIdentifier.dataRepresentation &&
           saved.cpuCount == configuration.cpuCount && saved.memorySize == configuration.memorySize;
  }
};

SimMachine::SimMachine(MachineConfiguration configuration, SimScript script, SerialQueue& queue,
                       std::shared_ptr<SimTimer> timer)
    : core_(std::make_shared<Core>(std::move(configuration), std::move(script), queue,
                                   std::move(timer))) {}

SimMachine::~SimMachine() { core_->timer->cancel(core_.get()); }

void SimMachine::setDelegate(MachineDelegate* delegate) {
  core_->requireQueue("setDelegate");
  core_->delegate = delegate;
}

void SimMachine::start(Completion done) {
  core_->requireQueue("start");
  if (core_->state == State::stopped) core_->writeConsole("sim guest booting\r\n");
  core_->operate("start", State::stopped, State::starting, core_->script.bootSeconds,
                 std::move(done), [](Core& core) -> std::optional<Error> {
                   if (auto failed = core.scriptedFailure(SimOperation::start, State::stopped)) {
                     return failed;
                   }
                   core.setState(State::running);
                   core.writeConsole("sim guest ready\r\n");
                   return std::nullopt;
                 });
}

void SimMachine::restoreMachineState(const std::string& path, Completion done) {
  core_->requireQueue("restoreMachineState");
  if (core_->script.host == SimHost::macos13) {
    core_->completeLater(std::move(done), Error{kNeedsNewerHost});
    return;
  }
  core_->operate("restore", State::stopped, State::restoring, core_->script.restoreSeconds,
                 std::move(done), [path](Core& core) -> std::optional<Error> {
                   if (auto failed = core.scriptedFailure(SimOperation::restore, State::stopped)) {
                     return failed;
                   }
                   Result<SimSavedState> saved = readSimSavedState(path);
                   if (!saved || !core.isThisMachine(*saved)) {
                     core.setState(State::stopped);
                     return saved ? Error{"saved state is for another machine"} : saved.error();
                   }
                   core.secondsRunBefore = saved->uptimeSeconds;
                   core.setState(State::paused);
                   return std::nullopt;
                 });
}

void SimMachine::resume(Completion done) {
  core_->requireQueue("resume");
  core_->operate("resume", State::paused, State::resuming, 0, std::move(done),
                 [](Core& core) -> std::optional<Error> {
                   if (auto failed = core.scriptedFailure(SimOperation::resume, State::paused)) {
                     return failed;
                   }
                   core.setState(State::running);
                   return std::nullopt;
                 });
}

void SimMachine::pause(Completion done) {
  core_->requireQueue("pause");
  core_->operate("pause", State::running, State::pausing, 0, std::move(done),
                 [](Core& core) -> std::optional<Error> {
                   if (auto failed = core.scriptedFailure(SimOperation::pause, State::running)) {
                     return failed;
                   }
                   core.setState(State::paused);
                   return std::nullopt;
                 });
}

void SimMachine::saveMachineState(const std::string& path, Completion done) {
  core_->requireQueue("saveMachineState");
  if (core_->script.host == SimHost::macos13) {
    core_->completeLater(std::move(done), Error{kNeedsNewerHost});
    return;
  }
  core_->operate("save", State::paused, State::saving, core_->script.saveSeconds, std::move(done),
                 [path](Core& core) -> std::optional<Error> {
                   if (auto failed = core.scriptedFailure(SimOperation::save, State::paused)) {
                     return failed;
                   }
                   core.setState(State::paused);
                   if (Status written = writeSimSavedState(path, core.savedState()); !written) {
                     return written.error();
                   }
                   return std::nullopt;
                 });
}

bool SimMachine::canPause() const {
  core_->requireQueue("canPause");
  return core_->state == State::running;
}

bool SimMachine::canRequestStop() const {
  core_->requireQueue("canRequestStop");
  return core_->state == State::running;
}

Status SimMachine::requestStop() {
  core_->requireQueue("requestStop");
  if (core_->state != State::running) {
    return Error{std::string("cannot request a stop while the machine is ") + nameOf(core_->state)};
  }
  if (const std::string* description = core_->script.failure(SimOperation::stopRequest)) {
    return Error{*description};
  }
  if (core_->script.stopResponseSeconds) {
    core_->laterInThisLife(*core_->script.stopResponseSeconds,
                           [](Core& core) { core.guestPowersOff(); });
  }
  return {};
}

}  // namespace tovan
