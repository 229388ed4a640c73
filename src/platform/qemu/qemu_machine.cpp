#include "platform/qemu/qemu_machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "base/files.h"
#include "base/unique_fd.h"
#include "platform/qemu/command_line.h"
#include "platform/qemu/qemu_process.h"
#include "platform/qemu/qmp.h"
#include "platform/qemu/state_flusher.h"

namespace tovan {

namespace {

// The name under which the state file's descriptor is handed to QEMU with `getfd`.
constexpr const char* kStateFdName = "tovan-state";
// QEMU 7.2 throttles migration to 128 MiB/s by default, even for a paused machine. A save or
// restore should go as fast as the disk allows.
constexpr std::uint64_t kUnlimitedBandwidth = 1'000'000'000'000;  // bytes per second
// The disk's writeback of a state file starts after every 16 MiB that QEMU writes.
constexpr std::size_t kWritebackChunk = 16 << 20;

void deliver(SerialQueue& queue, Completion done, std::optional<Error> error) {
  queue.async([done = std::move(done), error = std::move(error)] { done(error); });
}

}  // namespace

class QemuMachine::Core : public std::enable_shared_from_this<Core> {
 public:
  Core(Result<QemuInstallation> installation, Accelerator accelerator,
       MachineConfiguration configuration, SerialQueue& queue)
      : queue_(queue),
        installation_(std::move(installation)),
        accelerator_(accelerator),
        configuration_(std::move(configuration)) {}

  ~Core() {
    process_.reset();  // kills QEMU and waits for its watcher
    flusher_.reset();
  }

  void setDelegate(MachineDelegate* delegate) { delegate_ = delegate; }

  void start(Completion done) {
    if (!admit(done, "the machine is already running", process_ == nullptr)) return;
    launch(LaunchMode::coldStart, [this] {
      execute("cont", nullptr, [this](const QmpMessage& reply) {
        if (reply.kind == QmpKind::failure) return abandon(Error{reply.description});
        runState_ = RunState::running;
        started_ = true;
        finish(std::nullopt);
      });
    });
  }

  void restoreMachineState(const std::string& path, Completion done) {
    if (!admit(done, "the machine is already running", process_ == nullptr)) return;
    UniqueFd state(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!state.valid()) return finish(errorFromErrno("cannot open " + quotedPath(path), errno));
    stateFile_ = std::move(state);
    launch(LaunchMode::incoming, [this] {
      execute(
          "getfd", {{"fdname", kStateFdName}},
          [this](const QmpMessage& passed) {
            if (passed.kind == QmpKind::failure) return abandon(Error{passed.description});
            migration_ = Migration::restoring;
            execute("migrate-incoming", {{"uri", std::string("fd:") + kStateFdName}},
                    [this](const QmpMessage& reply) {
                      if (reply.kind == QmpKind::failure) abandon(Error{reply.description});
                    });
          },
          stateFile_.get());
    });
  }

  void pause(Completion done) {
    if (!admit(done, "the machine is not running", canRequestStop())) return;
    execute("stop", nullptr, [this](const QmpMessage& reply) {
      if (reply.kind == QmpKind::failure) return finish(Error{reply.description});
      runState_ = RunState::paused;
      finish(std::nullopt);
    });
  }

  void resume(Completion done) {
    if (!admit(done, "the machine is not paused", runState_ == RunState::paused)) return;
    execute("cont", nullptr, [this](const QmpMessage& reply) {
      if (reply.kind == QmpKind::failure) return finish(Error{reply.description});
      runState_ = RunState::running;
      finish(std::nullopt);
    });
  }

  void saveMachineState(const std::string& path, Completion done) {
    if (!admit(done, "the machine is not paused", runState_ == RunState::paused)) return;
    UniqueFd state(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!state.valid()) return finish(errorFromErrno("cannot create " + quotedPath(path), errno));

    const std::uint64_t save = ++saveGeneration_;
    auto onFlushed = [weak = weak_from_this(), save, &queue = queue_](Status flushed) {
      queue.async([weak, save, flushed] {
        if (auto core = weak.lock()) core->onStateFlushed(save, flushed);
      });
    };
    flusher_ = StateFlusher::follow(std::move(state), path, kWritebackChunk, std::move(onFlushed));
    saveFailure_.reset();

    execute(
        "getfd", {{"fdname", kStateFdName}},
        [this](const QmpMessage& reply) {
          if (reply.kind == QmpKind::failure) return migrationEnded(Error{reply.description});
          migration_ = Migration::saving;
          execute("migrate", {{"uri", std::string("fd:") + kStateFdName}},
                  [this](const QmpMessage& started) {
                    if (started.kind != QmpKind::failure || migration_ != Migration::saving) {
                      return;
                    }
                    migration_ = Migration::none;
                    execute("closefd", {{"fdname", kStateFdName}}, [](const QmpMessage&) {});
                    migrationEnded(Error{started.description});
                  });
        },
        flusher_->file());
  }

  bool canPause() const { return canRequestStop() && !operation_; }

  bool canRequestStop() const {
    return process_ && runState_ == RunState::running && !guestShutdown_;
  }

  Status requestStop() {
    if (!canRequestStop()) return Error{"the machine is not running"};
    // The reply only says that the button was pressed; what the guest makes of it arrives as
    // a SHUTDOWN event, or not at all.
    return send("system_powerdown", nullptr, [](const QmpMessage&) {});
  }

 private:
  enum class RunState { none, prelaunch, incoming, running, paused };
  enum class Migration { none, saving, restoring };
  using ReplyHandler = std::function<void(const QmpMessage&)>;

  // Takes `done` as the one operation in flight when `ready` holds; otherwise fails it with
  // `whyNot` (or because another operation is in flight) and returns false.
  bool admit(Completion& done, const char* whyNot, bool ready) {
    if (operation_) {
      deliver(queue_, std::move(done), Error{"another operation on the machine is in progress"});
      return false;
    }
    if (!ready) {
      deliver(queue_, std::move(done), Error{whyNot});
      return false;
    }
    operation_ = std::move(done);
    return true;
  }

  // Completes the operation in flight, as a work item of its own.
  void finish(std::optional<Error> error) {
    if (!operation_) return;
    deliver(queue_, std::exchange(operation_, nullptr), std::move(error));
  }

  // Gives up on a QEMU that cannot carry on with the operation: it is killed, and the operation
  // fails with `why` once the process has ended.
  void abandon(Error why) {
    if (!failure_) failure_ = std::move(why);
    if (process_) process_->kill();
  }

  // Fails the operation in flight before any QEMU runs.
  void failLaunch(Error why) {
    stateFile_.reset();
    finish(std::move(why));
  }

  void launch(LaunchMode mode, std::function<void()> whenConfigured) {
    if (!installation_) return failLaunch(installation_.error());
    auto argv = qemuCommandLine(*installation_, accelerator_, configuration_, mode);
    if (!argv) return failLaunch(argv.error());

    int console = -1;
    if (!configuration_.serialPorts.empty() && configuration_.serialPorts.front().log) {
      console = configuration_.serialPorts.front().log->get();
      // Each QEMU writes the log from its first byte; older bytes beyond its output stay.
      (void)::lseek(console, 0, SEEK_SET);
    }

    const std::uint64_t generation = ++generation_;
    std::weak_ptr<Core> weak = weak_from_this();
    SerialQueue& queue = queue_;
    QemuProcess::Handlers handlers;
    handlers.message = [weak, generation, &queue](const nlohmann::json& object) {
      queue.async([weak, generation, message = classifyQmpMessage(object)] {
        if (auto core = weak.lock()) core->onMessage(generation, message);
      });
    };
    handlers.ended = [weak, generation, &queue](ProcessEnd end) {
      queue.async([weak, generation, end = std::move(end)] {
        if (auto core = weak.lock()) core->onEnded(generation, end);
      });
    };

    auto process = QemuProcess::launch(*argv, console, std::move(handlers));
    if (!process) return failLaunch(process.error());
    process_ = std::move(*process);
    runState_ = mode == LaunchMode::incoming ? RunState::incoming : RunState::prelaunch;
    guestShutdown_ = false;
    failure_.reset();
    migrationError_.clear();
    whenConfigured_ = std::move(whenConfigured);
  }

  // After the greeting: leave negotiation mode, ask for migration events and lift the
  // bandwidth limit, then go on with the launch.
  void configure() {
    execute("qmp_capabilities", nullptr, [this](const QmpMessage& negotiated) {
      if (negotiated.kind == QmpKind::failure) return abandon(Error{negotiated.description});
      nlohmann::json events = {{"capabilities", {{{"capability", "events"}, {"state", true}}}}};
      execute("migrate-set-capabilities", events, [this](const QmpMessage& capabilities) {
        if (capabilities.kind == QmpKind::failure) return abandon(Error{capabilities.description});
        execute("migrate-set-parameters", {{"max-bandwidth", kUnlimitedBandwidth}},
                [this](const QmpMessage& parameters) {
                  if (parameters.kind == QmpKind::failure) {
                    return abandon(Error{parameters.description});
                  }
                  if (auto next = std::exchange(whenConfigured_, nullptr)) next();
                });
      });
    });
  }

  // Sends a command; `handler` gets its reply. A QEMU that cannot be written to is ending or
  // broken: it is killed, and its end completes whatever was in flight, with its own words.
  void execute(const char* command, const nlohmann::json& arguments, ReplyHandler handler,
               int passFd = -1) {
    if (Status sent = send(command, arguments, std::move(handler), passFd); !sent && process_) {
      process_->kill();
    }
  }

  Status send(const char* command, const nlohmann::json& arguments, ReplyHandler handler,
              int passFd = -1) {
    if (!process_) return Error{"QEMU is not running"};
    const std::uint64_t id = nextId_++;
    Status sent = process_->send(qmpCommand(command, id, arguments), passFd);
    if (sent) replies_.emplace(id, std::move(handler));
    return sent;
  }

  void onMessage(std::uint64_t generation, const QmpMessage& message) {
    if (generation != generation_ || !process_) return;
    switch (message.kind) {
      case QmpKind::greeting:
        configure();
        break;
      case QmpKind::success:
      case QmpKind::failure:
        if (!message.id) break;
        if (auto found = replies_.find(*message.id); found != replies_.end()) {
          ReplyHandler handler = std::move(found->second);
          replies_.erase(found);
          handler(message);
        }
        break;
      case QmpKind::event:
        onEvent(message);
        break;
      case QmpKind::unknown:
        break;
    }
  }

  void onEvent(const QmpMessage& event) {
    if (event.name == "RESUME") {
      runState_ = RunState::running;
    } else if (event.name == "STOP") {
      if (runState_ == RunState::running) runState_ = RunState::paused;
    } else if (event.name == "SHUTDOWN") {
      // guest: true when the guest powered off (or reset, which -no-reboot turns into an end).
      auto guest = event.payload.find("guest");
      if (guest != event.payload.end() && guest->is_boolean() && guest->get<bool>()) {
        guestShutdown_ = true;
      }
    } else if (event.name == "MIGRATION") {
      auto status = event.payload.find("status");
      if (status != event.payload.end() && status->is_string()) {
        onMigrationStatus(status->get<std::string>());
      }
    }
  }

  void onMigrationStatus(const std::string& status) {
    const bool failed = status == "failed" || status == "cancelled";
    if (status != "completed" && !failed) return;
    const Migration finished = std::exchange(migration_, Migration::none);
    if (finished == Migration::none) return;

    if (finished == Migration::restoring) {
      stateFile_.reset();
      if (!failed) {
        runState_ = RunState::paused;
        started_ = true;
        return finish(std::nullopt);
      }
      // QEMU ends itself after a failed load, and its standard error says why. Its own record
      // of the failure is kept in case it says nothing; `quit` covers a QEMU that stays.
      return execute("query-migrate", nullptr, [this](const QmpMessage& reply) {
        migrationError_ = migrationErrorOf(reply);
        execute("quit", nullptr, [](const QmpMessage&) {});
      });
    }

    if (!failed) return migrationEnded(std::nullopt);
    execute("query-migrate", nullptr, [this](const QmpMessage& reply) {
      std::string description = migrationErrorOf(reply);
      migrationEnded(Error{description.empty() ? "QEMU could not save the machine" : description});
    });
  }

  // A save completes once QEMU has finished writing and what it wrote is on disk.
  void migrationEnded(std::optional<Error> error) {
    saveFailure_ = std::move(error);
    if (flusher_) flusher_->writerDone();
  }

  void onStateFlushed(std::uint64_t save, Status flushed) {
    if (save != saveGeneration_ || !flusher_) return;
    flusher_.reset();
    std::optional<Error> error = std::exchange(saveFailure_, std::nullopt);
    if (!error && !flushed) error = flushed.error();
    finish(std::move(error));
  }

  static std::string migrationErrorOf(const QmpMessage& reply) {
    if (reply.kind != QmpKind::success || !reply.payload.is_object()) return {};
    auto description = reply.payload.find("error-desc");
    if (description == reply.payload.end() || !description->is_string()) return {};
    return description->get<std::string>();
  }

  void onEnded(std::uint64_t generation, const ProcessEnd& end) {
    if (generation != generation_) return;
    process_.reset();
    replies_.clear();
    whenConfigured_ = nullptr;
    stateFile_.reset();
    migration_ = Migration::none;
    runState_ = RunState::none;
    saveFailure_.reset();
    flusher_.reset();  // nothing more is coming; what there is stays unflushed

    Error reason = failure_ ? *failure_ : Error{describeProcessEnd(end, migrationError_)};
    const bool wasStarted = std::exchange(started_, false);
    const bool guestStopped = guestShutdown_;
    finish(reason);
    if (!wasStarted || !delegate_) return;
    // A machine that had run: its end is news for the delegate, after any operation's failure.
    MachineDelegate* delegate = delegate_;
    if (guestStopped) {
      queue_.async([delegate] { delegate->guestDidStop(); });
    } else {
      queue_.async([delegate, reason] { delegate->didStopWithError(reason); });
    }
  }

  SerialQueue& queue_;
  const Result<QemuInstallation> installation_;
  const Accelerator accelerator_;
  const MachineConfiguration configuration_;
  MachineDelegate* delegate_ = nullptr;

  std::unique_ptr<QemuProcess> process_;
  std::uint64_t generation_ = 0;  // tells this process's messages from an earlier one's
  RunState runState_ = RunState::none;
  bool started_ = false;        // the current QEMU has run the guest
  bool guestShutdown_ = false;  // the guest powered off; QEMU is ending
  Completion operation_;        // the start, restore, pause, resume or save in flight
  std::function<void()> whenConfigured_;
  std::map<std::uint64_t, ReplyHandler> replies_;
  std::uint64_t nextId_ = 1;
  std::optional<Error> failure_;  // why the backend itself ended this QEMU
  Migration migration_ = Migration::none;
  std::string migrationError_;        // QEMU's record of a failed load
  UniqueFd stateFile_;                // the state being restored
  std::optional<Error> saveFailure_;  // why QEMU could not write the state
  std::uint64_t saveGeneration_ = 0;  // tells this save's flush from an earlier one's
  std::unique_ptr<StateFlusher> flusher_;
};

QemuMachine::QemuMachine(Result<QemuInstallation> installation, Accelerator accelerator,
                         MachineConfiguration configuration, SerialQueue& queue)
    : core_(std::make_shared<Core>(std::move(installation), accelerator, std::move(configuration),
                                   queue)) {}

QemuMachine::~QemuMachine() = default;

void QemuMachine::setDelegate(MachineDelegate* delegate) { core_->setDelegate(delegate); }
void QemuMachine::start(Completion done) { core_->start(std::move(done)); }
void QemuMachine::restoreMachineState(const std::string& path, Completion done) {
  core_->restoreMachineState(path, std::move(done));
}
void QemuMachine::resume(Completion done) { core_->resume(std::move(done)); }
void QemuMachine::pause(Completion done) { core_->pause(std::move(done)); }
void QemuMachine::saveMachineState(const std::string& path, Completion done) {
  core_->saveMachineState(path, std::move(done));
}
bool QemuMachine::canPause() const { return core_->canPause(); }
bool QemuMachine::canRequestStop() const { return core_->canRequestStop(); }
Status QemuMachine::requestStop() { return core_->requestStop(); }

}  // namespace tovan
