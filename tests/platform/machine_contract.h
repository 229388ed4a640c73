// What every backend's Machine must do: MachineContract runs one suite on each backend's
// MachineUnderTest. Its fixture, MachineTest, serves the backends' own tests too.
#pragma once

#include <condition_variable>
#include <mutex>

#include "gmock/gmock.h"
#include "machine/build_configuration.h"
#include "support/child_process.h"

namespace tovan::test {

enum class Ending { byRequest, fromOutside };

class MachineUnderTest {
 public:
  virtual ~MachineUnderTest() = default;
  virtual Platform& platform() = 0;
  // Ending::fromOutside: a backend that cannot be ended on demand is scripted to end once it runs.
  virtual std::string diskImage(Ending ending) const = 0;
  // On the queue: ends the running machine of `dir` from outside, as its host would.
  virtual void endFromOutside(const TempDir& dir) = 0;
  // Refusing `operation` while the machine is `state` (stopped, running, paused, starting...).
  virtual std::string refusal(const std::string& operation, const std::string& state) const = 0;
};

// A backend, a queue, a directory and the machines made there, whose delegate it is. Each
// completion and delegate call is a report ("start: ok", "save: <error>", "stopped with error:
// <error>"), led by "[off the queue] " or "[inside the call] " when it came so; one left unread
// fails the test.
class MachineTest : public testing::Test, public MachineDelegate {
 protected:
  explicit MachineTest(std::unique_ptr<MachineUnderTest> backend) : backend_(std::move(backend)) {}

  void TearDown() override {
    queue_.sync([this] { machines_.clear(); });
    queue_.sync([] {});  // whatever the machines left on the queue has run
    std::lock_guard<std::mutex> guard(mutex_);
    EXPECT_EQ(reports_.size(), read_) << "unread: " << reports_.back();
  }

  // The configuration kept in `in`, the same each time.
  MachineConfiguration configure(const TempDir& in) {
    const std::string disk = in / "disk.img";
    if (!fileExists(disk)) writeFile(disk, backend_->diskImage(Ending::byRequest));
    writeFile(in / "seed.img", "");
    // Disk, seed, EFI store, identifier, console log, MAC, CPUs, MiB, isolated, state, name.
    const HelperConfig config{
        disk, in / "seed.img", in / "efi.vars", in / "machine.id", in / "console.log", "", 1, 128,
        true, in / "state",    std::nullopt};
    auto built = buildConfiguration(config, backend_->platform());
    if (!built) throw std::runtime_error(built.error().description);
    return std::move(*built);
  }

  Machine& create(MachineConfiguration configuration, Platform* platform = nullptr) {
    queue_.sync([&] {
      Platform& maker = platform ? *platform : backend_->platform();
      machines_.push_back(maker.createMachine(std::move(configuration), queue_));
      machines_.back()->setDelegate(this);
    });
    return *machines_.back();
  }
  Machine& create() { return create(configure(dir_)); }

  void destroy(Machine& vm) {
    queue_.sync([&] { std::erase_if(machines_, [&](auto& each) { return each.get() == &vm; }); });
  }

  // On the queue: makes `call` ("start", "save <path>"...), and `then` after its report.
  void call(Machine& vm, const std::string& call, std::function<void()> then = {}) {
    const std::string verb = call.substr(0, call.find(' '));
    const std::string path = call.substr(std::min(call.size(), verb.size() + 1));
    Completion done = [this, verb, then](std::optional<Error> error) {
      add(verb + ": " + (error ? error->description : "ok"));
      if (then) then();
    };
    if (verb == "start") return vm.start(done);
    if (verb == "restore") return vm.restoreMachineState(path, done);
    if (verb == "resume") return vm.resume(done);
    if (verb == "pause") return vm.pause(done);
    if (verb == "save") return vm.saveMachineState(path, done);
    ADD_FAILURE() << "no such call: " << call;
  }

  // Makes `calls` in one work item; returns the next `count` reports (by default, one a call).
  std::vector<std::string> together(Machine& vm, const std::vector<std::string>& calls,
                                    std::size_t count = 0) {
    queue_.async([this, &vm, calls] {
      inCall_ = true;
      for (const std::string& each : calls) call(vm, each);
      inCall_ = false;
    });
    return await(count ? count : calls.size());
  }

  // Makes each call once the one before has completed.
  std::vector<std::string> inTurn(Machine& vm, const std::vector<std::string>& calls) {
    std::vector<std::string> reports;
    for (const std::string& each : calls) reports.push_back(together(vm, {each}).front());
    return reports;
  }

  std::vector<std::string> await(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Three minutes only keep a broken test from hanging.
    added_.wait_for(lock, std::chrono::minutes(3),
                    [&] { return reports_.size() >= read_ + count; });
    const std::size_t from = std::exchange(read_, std::min(reports_.size(), read_ + count));
    std::vector<std::string> next(reports_.begin() + from, reports_.begin() + read_);
    next.resize(count, "(no report)");
    return next;
  }

  // "canPause canRequestStop" while it runs, else "- -" ("- requestStop" if one is taken).
  std::string abilities(Machine& vm) {
    std::string said;
    queue_.sync([&] {
      said = vm.canPause() ? "canPause" : "-";
      said += vm.canRequestStop() ? " canRequestStop" : vm.requestStop() ? " requestStop" : " -";
    });
    return said;
  }

  void guestDidStop() override { add("guest stopped"); }
  void didStopWithError(const Error& e) override { add("stopped with error: " + e.description); }
  void networkAttachmentWasDisconnected(const Error&) override { add("network detached"); }

  std::unique_ptr<MachineUnderTest> backend_;
  TempDir dir_;
  SerialQueue queue_{"test.machine"};

 private:
  void add(const std::string& report) {
    const char* from = !queue_.isCurrent() ? "[off the queue] "
                       : inCall_           ? "[inside the call] "
                                           : "";
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.push_back(from + report);
    added_.notify_all();
  }

  std::vector<std::unique_ptr<Machine>> machines_;
  bool inCall_ = false;  // on the queue only
  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<std::string> reports_;
  std::size_t read_ = 0;
};

struct MachineFactory {
  const char* name;
  std::unique_ptr<MachineUnderTest> (*make)();
  friend void PrintTo(const MachineFactory& factory, std::ostream* out) { *out << factory.name; }
};

class MachineContract : public MachineTest, public testing::WithParamInterface<MachineFactory> {
 protected:
  MachineContract() : MachineTest(GetParam().make()) {}
};

}  // namespace tovan::test
