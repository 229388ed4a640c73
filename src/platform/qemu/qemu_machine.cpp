#include "platform/qemu/qemu_machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "base/files.h"
#include "base/timer.h"
#include "base/unique_fd.h"
#include "platform/qemu/qemu_arguments.h"
#include "platform/qemu/qemu_process.h"
#include "platform/qemu/qmp.h"
#include "platform/qemu/qmp_session.h"
#include "platform/qemu/state_relay.h"
#include "platform/saved_state.h"

namespace tovan {

namespace {

// The name under which the state file's descriptor is handed to QEMU with `getfd`.
constexpr const char* kStateFdName = "tovan-state";
// A migration gets a minute plus the time to move the guest's memory at 16 MiB/s, far slower
// than any disk the state could be on; past that QEMU is taken to be stuck.
constexpr double kMigrationBaseSeconds = 60;
constexpr double kMigrationBytesPerSecond = 16.0 * (1 << 20);

void deliver(SerialQueue& queue, Completion done, std::optional<Error> error) {
  queue.async([done = std::move(done), error = std::move(error)] { done(error); });
}

std::string stringMember(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return {};
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return {};
  return found->get<std::string>();
}

// The first thing QEMU wrote to its standard error, without its program name.
std::string firstQemuLine(const ProcessEnd& end) {
  std::string_view rest = end.errorOutput;
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (const std::size_t colon = line.find(": ");
        line.substr(0, 4) == "qemu" && colon != std::string_view::npos &&
        line.substr(0, colon).find(' ') == std::string_view::npos) {
      line.remove_prefix(colon + 2);
    }
    return std::string(line);
  }
  return {};
}

// "7.2.22, pc-q35-7.2, TCG, qemu64".
std::string describeQemu(const nlohmann::json& record) {
  std::string text;
  for (const char* key : {"qemu", "machineType", "accelerator", "cpuModel"}) {
    std::string value = record.value(key, std::string("?"));
    if (key == std::string_view("accelerator")) {
      for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    text += (text.empty() ? "" : ", ") + value;
  }
  return text;
}

}  // namespace

class QemuMachine::Core : public std::enable_shared_from_this<Core> {
 public:
  Core(Result<QemuInstallation> installation, AcceleratorChoice accelerator, QmpDeadlines deadlines,
       MachineConfiguration configuration, SerialQueue& queue)
      : queue_(queue),
        installation_(std::move(installation)),
        accelerator_(std::move(accelerator)),
        configuration_(std::move(configuration)),
        session_(queue, processTimer(), deadlines) {}

  ~Core() {
    session_.end();
    process_.reset();  // kills QEMU and waits for its watcher
    transfer_.reset();
  }

  void setDelegate(MachineDelegate* delegate) { delegate_ = delegate; }

  void start(Completion done) {
    if (!admit(done, "the machine is already running", process_ == nullptr)) return;
    launch(LaunchMode::coldStart,
           [this] { call("cont", nullptr, &Core::started, &Core::abandon); });
  }

  // The header is checked before any QEMU runs, QEMU's version once it has greeted, and the
  // stream's checksum as it goes to QEMU: the restore completes only once all of it matched.
  void restoreMachineState(const std::string& path, Completion done) {
    if (!admit(done, "the machine is already running", process_ == nullptr)) return;
    Result<SavedStateHeader> header = Error{""};
    Result<UniqueFd> file = openStateFile(path, header);
    if (!file) return finish(file.error());
    if (!header) return finish(header.error());
    // QEMU reads the stream from its own place in the file; the relay reads alongside by offset.
    UniqueFd forQemu(::fcntl(file->get(), F_DUPFD_CLOEXEC, 0));
    if (!forQemu.valid() ||
        ::lseek(forQemu.get(), static_cast<off_t>(kSavedStateHeaderSize), SEEK_SET) < 0) {
      return finish(pathError("cannot read", path, errno));
    }
    const std::uint64_t transfer = beginTransfer(/*restoring=*/true, *header);
    transfer_->file = std::move(forQemu);
    auto relay = StateRelay::alongFile(std::move(*file), kSavedStateHeaderSize,
                                       header->streamLength, relayed(transfer));
    if (!relay) return finish(relay.error());
    transfer_->relay = std::move(*relay);
    launch(LaunchMode::incoming, [this] {
      const std::string saved = transfer_->header.platform.value("qemu", std::string());
      if (session_.qemuVersion() != saved) {
        return abandon(incompatiblePlatform(
            transfer_->header.platform, PlatformRecord{"QEMU", platformRecord(), describeQemu}));
      }
      call("getfd", {{"fdname", kStateFdName}}, &Core::loadState, &Core::abandon,
           transfer_->file.get());
    });
  }

  void pause(Completion done) {
    if (!admit(done, "the machine is not running", canRequestStop())) return;
    pausing_ = true;
    call("stop", nullptr, &Core::paused, &Core::pauseRefused);
  }

  void resume(Completion done) {
    if (!admit(done, "the machine is not paused", runState_ == RunState::paused)) return;
    call("cont", nullptr, &Core::resumed, &Core::finishWith);
  }

  // The stream goes through the relay into the file behind the header's place; the header is
  // written last, once QEMU has finished, the disk has had its last flush and the stream is on
  // disk.
  void saveMachineState(const std::string& path, Completion done) {
    if (!admit(done, "the machine is not paused", runState_ == RunState::paused)) return;
    Result<UniqueFd> state = openFile(path, O_WRONLY | O_CREAT | O_TRUNC, FileKind::regular, 0600);
    if (!state) return finish(state.error());
    UniqueFd forHeader(::fcntl(state->get(), F_DUPFD_CLOEXEC, 0));
    if (!forHeader.valid()) return finish(pathError("cannot open", path, errno));
    const std::uint64_t transfer = beginTransfer(/*restoring=*/false);
    transfer_->file = std::move(forHeader);
    transfer_->path = path;
    auto relay = StateRelay::toFile(std::move(*state), kSavedStateHeaderSize, relayed(transfer));
    if (!relay) return finish(relay.error());
    transfer_->relay = std::move(*relay);
    call("getfd", {{"fdname", kStateFdName}}, &Core::writeState, &Core::saveRefused,
         transfer_->relay->qemuEnd());
    transfer_->relay->releaseQemuEnd();
  }

  bool canPause() const { return canRequestStop() && !operation_; }

  bool canRequestStop() const {
    return process_ && runState_ == RunState::running && !guestShutdown_;
  }

  Status requestStop() {
    if (!canRequestStop()) return Error{"the machine is not running"};
    // The reply only says that the button was pressed; what the guest makes of it arrives as
    // a SHUTDOWN event, or not at all.
    session_.execute("system_powerdown", nullptr, [](const QmpMessage&) {});
    return {};
  }

 private:
  enum class RunState { none, prelaunch, incoming, running, paused };
  enum class Migration { none, saving, restoring };
  using OnSuccess = void (Core::*)(const nlohmann::json& result);
  using OnFailure = void (Core::*)(Error why);

  // Why the operation in flight is failing, kept until its end can be reported.
  struct PendingFailure {
    enum class Kind {
      backend,       // the backend gave up on QEMU: its words stand
      qemuRecord,    // QEMU's own record, used when its standard error says nothing
      guestStopped,  // QEMU stopped the guest by itself; the words are its run state
    };
    Error error;
    Kind kind;
  };

  // A save or restore in flight: the relay carrying its stream and what each side reported.
  struct Transfer {
    std::uint64_t generation = 0;
    bool restoring = false;
    std::unique_ptr<StateRelay> relay;
    std::optional<StateRelay::Outcome> relayed;
    bool migrated = false;            // QEMU reported its migration completed
    std::optional<Error> failure;     // saving: why QEMU could not write the state
    SavedStateHeader header;          // restoring: the file's
    UniqueFd file;                    // saving: the file, for its header
    std::string path;                 // saving: its name, for failures
    std::optional<Error> endedEarly;  // restoring: QEMU ended before the relay was done
  };

  // This QEMU's record in a state's header.
  nlohmann::json platformRecord() const {
    return {{"qemu", session_.qemuVersion()},
            {"machineType", kQemuMachineType},
            {"accelerator", accelerator_.accelerator == Accelerator::kvm ? "kvm" : "tcg"},
            {"cpuModel", accelerator_.cpuModel}};
  }

  const std::string& mainDisk() const {
    static const std::string none;
    for (const StorageDevice& device : configuration_.storageDevices) {
      if (device.access == DiskAccess::readWrite) return device.path;
    }
    return none;
  }

  // Opens a saved state and checks its header against this machine; `header` gets the header,
  // or why the state will not do.
  Result<UniqueFd> openStateFile(const std::string& path, Result<SavedStateHeader>& header) {
    Result<UniqueFd> file = openFile(path, O_RDONLY);
    if (!file) return file;
    struct stat info;
    if (::fstat(file->get(), &info) != 0) return pathError("cannot read", path, errno);
    std::string block(kSavedStateHeaderSize, '\0');
    const ssize_t got = ::pread(file->get(), block.data(), block.size(), 0);
    if (got < 0) return pathError("cannot read", path, errno);
    block.resize(static_cast<std::size_t>(got));
    header = decodeSavedStateHeader(block);
    if (!header) return file;
    Result<DiskIdentity> disk = DiskIdentity::of(mainDisk());
    if (!disk) {
      header = disk.error();
      return file;
    }
    // QEMU's version is known once it greets; until then the header's is taken on trust.
    nlohmann::json expected = platformRecord();
    expected["qemu"] = header->platform.value("qemu", std::string());
    if (auto refused = checkSavedState(*header, static_cast<std::uint64_t>(info.st_size),
                                       PlatformRecord{"QEMU", expected, describeQemu},
                                       configuration_, *disk)) {
      header = *refused;
    }
    return file;
  }

  std::uint64_t beginTransfer(bool restoring, SavedStateHeader header = {}) {
    transfer_.emplace();
    transfer_->generation = ++transfers_;
    transfer_->restoring = restoring;
    transfer_->header = std::move(header);
    return transfer_->generation;
  }

  // The relay's report, handed to the queue.
  StateRelay::Finished relayed(std::uint64_t transfer) {
    return [weak = weak_from_this(), transfer, &queue = queue_](StateRelay::Outcome outcome) {
      queue.async([weak, transfer, outcome = std::move(outcome)] {
        auto core = weak.lock();
        if (!core || !core->transfer_ || core->transfer_->generation != transfer) return;
        core->transfer_->relayed = outcome;
        core->settle();
      });
    };
  }

  // A save or restore ends once QEMU and the relay have both said how it went.
  void settle() {
    Transfer& transfer = *transfer_;
    if (!transfer.relayed) return;
    if (transfer.endedEarly) return settleEndedRestore();
    if (!transfer.migrated && !transfer.failure) return;
    const StateRelay::Outcome relayed = *transfer.relayed;
    if (!transfer.restoring) return settleSave();
    // A restore: the guest runs again only from exactly the stream that was saved.
    if (relayed.length != transfer.header.streamLength ||
        relayed.checksum != transfer.header.streamChecksum) {
      return abandon(savedStateDamaged("checksum mismatch"));
    }
    transfer_.reset();
    runState_ = RunState::paused;
    started_ = true;
    finish(std::nullopt);
  }

  void settleSave() {
    Transfer transfer = std::move(*transfer_);
    transfer_.reset();
    if (transfer.failure) return finish(std::move(*transfer.failure));
    if (!transfer.relayed->status) return finish(transfer.relayed->status.error());
    Result<DiskIdentity> disk = DiskIdentity::of(mainDisk());
    if (!disk) return finish(disk.error());
    const std::string block =
        encodeSavedStateHeader({platformRecord(), machineFingerprint(configuration_), *disk,
                                transfer.relayed->length, transfer.relayed->checksum});
    if (::pwrite(transfer.file.get(), block.data(), block.size(), 0) !=
        static_cast<ssize_t>(block.size())) {
      return finish(pathError("cannot write", transfer.path, errno));
    }
    if (::fdatasync(transfer.file.get()) != 0) {
      return finish(pathError("cannot sync", transfer.path, errno));
    }
    finish(std::nullopt);
  }

  // QEMU refused or lost the stream before the relay had read all of it: now that it has, damage
  // is told from QEMU's own reasons.
  void settleEndedRestore() {
    Transfer transfer = std::move(*transfer_);
    transfer_.reset();
    Error reason = std::move(*transfer.endedEarly);
    if (reason.savedStateAtFault &&
        (transfer.relayed->length != transfer.header.streamLength ||
         transfer.relayed->checksum != transfer.header.streamChecksum)) {
      reason = savedStateDamaged("checksum mismatch");
    }
    finish(std::move(reason));
  }

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
  void finishWith(Error why) { finish(std::move(why)); }

  // Sends a command; QEMU's result goes to `onSuccess` (when given), its refusal, in its own
  // words, to `onFailure`.
  void call(const char* command, const nlohmann::json& arguments, OnSuccess onSuccess,
            OnFailure onFailure, int passFd = -1) {
    session_.execute(
        command, arguments,
        [this, onSuccess, onFailure](const QmpMessage& reply) {
          if (reply.kind == QmpKind::failure) {
            return (this->*onFailure)(Error{withFilePaths(reply.description, files_)});
          }
          if (onSuccess) (this->*onSuccess)(reply.payload);
        },
        passFd);
  }

  // Gives up on a QEMU that cannot carry on: it is killed, and the operation in flight fails
  // with `why` once the process has ended.
  void abandon(Error why) {
    if (!failure_ || failure_->kind != PendingFailure::Kind::backend) {
      failure_ = PendingFailure{std::move(why), PendingFailure::Kind::backend};
    }
    if (process_) process_->kill();
  }

  // Fails the operation in flight before any QEMU runs.
  void failLaunch(Error why) {
    session_.end();
    transfer_.reset();
    finish(std::move(why));
  }

  void launch(LaunchMode mode, std::function<void()> whenReady) {
    if (!installation_) return failLaunch(installation_.error());
    struct stat store;
    const std::string& storePath = configuration_.efiVariableStorePath;
    if (::stat(storePath.c_str(), &store) != 0) {
      return failLaunch(pathError("cannot open", storePath, errno));
    }
    const FirmwarePair* firmware =
        installation_->firmwareForStore(static_cast<std::uint64_t>(store.st_size));
    if (!firmware) {
      return failLaunch(Error{"the EFI variable store " + quotedPath(storePath) + " fits none of " +
                              "this host's firmware"});
    }
    Result<QemuLaunch> arguments = buildQemuArguments(installation_->emulator, firmware->code,
                                                      accelerator_, configuration_, mode);
    if (!arguments) return failLaunch(arguments.error());

    // QEMU gets the files as this helper opened them, never by their names.
    std::vector<UniqueFd> files;
    std::vector<int> passed;
    for (const PassedFile& file : arguments->files) {
      const int access = file.access == DiskAccess::readOnly ? O_RDONLY : O_RDWR;
      Result<UniqueFd> opened = openFile(file.path, access, file.kind);
      if (!opened) return failLaunch(opened.error());
      passed.push_back(opened->get());
      files.push_back(std::move(*opened));
    }
    int console = -1;
    if (!configuration_.serialPorts.empty() && configuration_.serialPorts.front().log) {
      console = configuration_.serialPorts.front().log->get();
      // Each QEMU writes the log from its first byte; older bytes beyond its output stay.
      (void)::lseek(console, 0, SEEK_SET);
    }

    QmpSession::Handlers session;
    session.ready = [this] {
      if (auto next = std::exchange(whenReady_, nullptr)) next();
    };
    session.event = [this](const QmpMessage& event) { onEvent(event); };
    session.broken = [this](Error why) { abandon(std::move(why)); };
    session.lost = [this](Error why) {
      if (!failure_) failure_ = PendingFailure{std::move(why), PendingFailure::Kind::qemuRecord};
      if (process_) process_->kill();
    };
    const std::uint64_t generation = session_.begin(std::move(session));

    std::weak_ptr<Core> weak = weak_from_this();
    SerialQueue& queue = queue_;
    QemuProcess::Handlers handlers;
    handlers.message = [weak, generation, &queue](const nlohmann::json& object) {
      queue.async([weak, generation, message = classifyQmpMessage(object)] {
        if (auto core = weak.lock()) core->session_.receive(generation, message);
      });
    };
    handlers.ended = [weak, generation, &queue](ProcessEnd end) {
      queue.async([weak, generation, end = std::move(end)] {
        if (auto core = weak.lock()) core->onEnded(generation, end);
      });
    };
    auto process = QemuProcess::launch(arguments->argv, console, passed, std::move(handlers));
    if (!process) return failLaunch(process.error());
    process_ = std::move(*process);
    session_.attach(*process_);
    files_ = std::move(arguments->files);
    runState_ = mode == LaunchMode::incoming ? RunState::incoming : RunState::prelaunch;
    guestShutdown_ = false;
    pausing_ = false;
    failure_.reset();
    whenReady_ = std::move(whenReady);
  }

  void started(const nlohmann::json&) {
    runState_ = RunState::running;
    started_ = true;
    finish(std::nullopt);
  }

  void loadState(const nlohmann::json&) {
    migration_ = Migration::restoring;
    armMigrationDeadline();
    call("migrate-incoming", {{"uri", std::string("fd:") + kStateFdName}}, nullptr, &Core::abandon);
  }

  void paused(const nlohmann::json&) {
    pausing_ = false;
    runState_ = RunState::paused;
    finish(std::nullopt);
  }

  void pauseRefused(Error why) {
    pausing_ = false;
    finish(std::move(why));
  }

  void resumed(const nlohmann::json&) {
    runState_ = RunState::running;
    finish(std::nullopt);
  }

  void writeState(const nlohmann::json&) {
    migration_ = Migration::saving;
    armMigrationDeadline();
    call("migrate", {{"uri", std::string("fd:") + kStateFdName}}, nullptr, &Core::saveRefused);
  }

  void saveRefused(Error why) {
    migration_ = Migration::none;
    session_.execute("closefd", {{"fdname", kStateFdName}}, [](const QmpMessage&) {});
    saveEnded(std::move(why));
  }

  void armMigrationDeadline() {
    const double seconds = kMigrationBaseSeconds + static_cast<double>(configuration_.memorySize) /
                                                       kMigrationBytesPerSecond;
    migrationDeadline_ = session_.deadline(
        seconds, Error{"QEMU did not finish moving the machine's state within " +
                       std::to_string(static_cast<long long>(seconds)) + " seconds"});
  }

  void onEvent(const QmpMessage& event) {
    if (event.name == "RESUME") {
      runState_ = RunState::running;
    } else if (event.name == "STOP") {
      if (runState_ != RunState::running) return;
      runState_ = RunState::paused;
      if (!pausing_) stoppedByQemu();
    } else if (event.name == "SHUTDOWN") {
      // guest: true when the guest powered off (or reset, which -no-reboot turns into an end).
      auto guest = event.payload.find("guest");
      if (guest != event.payload.end() && guest->is_boolean() && guest->get<bool>()) {
        guestShutdown_ = true;
      }
    } else if (event.name == "MIGRATION") {
      onMigrationStatus(stringMember(event.payload, "status"));
    }
  }

  // QEMU paused a running guest that nobody asked it to pause: an emulation failure, a guest
  // panic. Such a machine goes no further; it is ended and reported with QEMU's run state.
  void stoppedByQemu() { call("query-status", nullptr, &Core::endStoppedGuest, &Core::abandon); }

  void endStoppedGuest(const nlohmann::json& status) {
    std::string state = stringMember(status, "status");
    failure_ = PendingFailure{Error{state.empty() ? "stopped" : state},
                              PendingFailure::Kind::guestStopped};
    if (process_) process_->kill();
  }

  void onMigrationStatus(const std::string& status) {
    const bool failed = status == "failed" || status == "cancelled";
    if (status != "completed" && !failed) return;
    const Migration finished = std::exchange(migration_, Migration::none);
    if (finished == Migration::none || !transfer_) return;
    session_.cancel(migrationDeadline_);

    if (finished == Migration::restoring) {
      if (!failed) {
        transfer_->migrated = true;
        return settle();
      }
      // QEMU ends itself after a failed load, and its standard error says why. Its own record
      // of the failure is kept in case it says nothing; `quit` covers a QEMU that stays.
      loadRefused_ = true;
      return call("query-migrate", nullptr, &Core::loadFailed, &Core::abandon);
    }
    if (!failed) {
      transfer_->migrated = true;
      return settle();
    }
    call("query-migrate", nullptr, &Core::saveFailed, &Core::saveEnded);
  }

  void loadFailed(const nlohmann::json& migration) {
    failure_ = PendingFailure{Error{stringMember(migration, "error-desc")},
                              PendingFailure::Kind::qemuRecord};
    session_.execute("quit", nullptr, [](const QmpMessage&) {});
  }

  void saveFailed(const nlohmann::json& migration) {
    const std::string description = stringMember(migration, "error-desc");
    saveEnded(Error{description.empty() ? "QEMU could not save the machine" : description});
  }

  void saveEnded(Error why) {
    session_.cancel(migrationDeadline_);
    if (!transfer_) return;
    transfer_->failure = std::move(why);
    settle();
  }

  // Why the process ended, in the best words there are.
  Error reasonFor(const ProcessEnd& end) const {
    if (!failure_) return Error{withFilePaths(describeProcessEnd(end), files_)};
    switch (failure_->kind) {
      case PendingFailure::Kind::backend:
        return failure_->error;
      case PendingFailure::Kind::qemuRecord:
        return Error{withFilePaths(describeProcessEnd(end, failure_->error.description), files_)};
      case PendingFailure::Kind::guestStopped:
        break;
    }
    const std::string said = firstQemuLine(end);
    return Error{failure_->error.description + (said.empty() ? "" : ": " + said)};
  }

  void onEnded(std::uint64_t generation, const ProcessEnd& end) {
    if (generation != session_.generation() || !process_) return;
    session_.end();
    process_.reset();
    whenReady_ = nullptr;
    migration_ = Migration::none;
    runState_ = RunState::none;
    pausing_ = false;

    Error reason = reasonFor(end);
    failure_.reset();
    // A QEMU that read the stream and refused it says something about the state, not the host.
    if (std::exchange(loadRefused_, false)) reason.savedStateAtFault = true;
    if (transfer_ && transfer_->restoring) {
      // The relay's checksum decides between damage and QEMU's reasons, once it is done.
      transfer_->endedEarly = reason;
      if (transfer_->relayed) return settleEndedRestore();
      return;
    }
    transfer_.reset();  // a save cut short: nothing more is coming
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
  const AcceleratorChoice accelerator_;
  const MachineConfiguration configuration_;
  MachineDelegate* delegate_ = nullptr;

  QmpSession session_;
  std::unique_ptr<QemuProcess> process_;
  std::vector<PassedFile> files_;  // what the current QEMU's fd sets stand for
  RunState runState_ = RunState::none;
  bool started_ = false;        // the current QEMU has run the guest
  bool guestShutdown_ = false;  // the guest powered off; QEMU is ending
  bool pausing_ = false;        // a STOP now is the one this backend asked for
  Completion operation_;        // the start, restore, pause, resume or save in flight
  std::function<void()> whenReady_;
  std::optional<PendingFailure> failure_;
  Migration migration_ = Migration::none;
  Timer::Id migrationDeadline_ = 0;
  std::optional<Transfer> transfer_;
  std::uint64_t transfers_ = 0;  // tells this transfer's relay from an earlier one's
  bool loadRefused_ = false;     // QEMU reported the incoming migration failed
};

QemuMachine::QemuMachine(Result<QemuInstallation> installation, AcceleratorChoice accelerator,
                         QmpDeadlines deadlines, MachineConfiguration configuration,
                         SerialQueue& queue)
    : core_(std::make_shared<Core>(std::move(installation), std::move(accelerator), deadlines,
                                   std::move(configuration), queue)) {}

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
