// Hibernation and restore of a real guest through tovan-vmhelper, against what QEMU and the disk
// do without it, all measured in one run on the same guest, over a few rounds (medians count):
//   - the accelerator decision the helper makes once per process (/dev/kvm, a KVM test machine,
//     QEMU's CPU-model probes where KVM can run the guest);
//   - the helper cold-boots a 1 GiB guest that fills 800 MiB of its memory with random bytes; its
//     resident memory is read while the guest runs; "hibernate" is timed from the command to the
//     "hibernated" event (pause, save, flush, move into place), and right after it dd copies the
//     state file with a flush;
//   - each round then restores that state twice: first by a QEMU driven by hand over QMP (the
//     helper's own QMP session, nothing else of it; spawn to running), which then saves the guest
//     again with QEMU's default migration settings (throttled to 128 MiB/s); then through the
//     helper (spawn to "running"), which hibernates it again for the next round.
// Usage: tovan_hibernate_bench --helper PATH --guest DISK --work DIR [--memory-mib N]
//        [--dirty-mib N] [--rounds N]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/timer.h"
#include "config/helper_config.h"
#include "machine/build_configuration.h"
#include "platform/qemu/accelerator.h"
#include "platform/qemu/qemu_arguments.h"
#include "platform/qemu/qemu_platform.h"
#include "platform/qemu/qemu_process.h"
#include "platform/qemu/qmp_session.h"
#include "platform/saved_state.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::minutes(10);  // keeps a broken run from hanging

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "hibernate bench: %s\n", why.c_str());
  std::exit(1);
}

std::uint64_t fileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

void awaitConsole(const std::string& path, const std::string& text) {
  const auto deadline = Clock::now() + kPatience;
  while (test::readFileOrEmpty(path).find(text) == std::string::npos) {
    if (Clock::now() > deadline) fail("the guest never printed \"" + text + "\"");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string state(const char* name) {
  return nlohmann::json{{"event", "state"}, {"state", name}}.dump();
}

// The helper as the parent app runs it, with a check on every event it sends.
class Helper {
 public:
  explicit Helper(const std::vector<std::string>& argv) : process_(argv) {}

  void send(const char* command) { process_.write(nlohmann::json{{"cmd", command}}.dump() + "\n"); }

  // The next event line that is not a log note; fails the run on anything but `expected`.
  void expect(const std::string& expected) {
    std::optional<std::string> line;
    do {
      line = process_.readLine();
    } while (line &&
             nlohmann::json::parse(*line, nullptr, false).value("event", std::string()) == "log");
    if (line != expected) fail("expected " + expected + ", got " + line.value_or("nothing"));
  }

  int wait() { return process_.finish().status; }
  pid_t pid() const { return process_.pid(); }

 private:
  test::ChildProcess process_;
};

// Resident memory of a process, in KiB.
long residentKiB(pid_t pid) {
  std::istringstream status(test::readFileOrEmpty("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// QEMU driven by hand: one command at a time through the helper's QMP session, waiting for its
// reply or for an event.
class HandDrivenQemu {
 public:
  HandDrivenQemu(const QemuLaunch& launch, int console, const std::vector<int>& files)
      : queue_("bench.qemu"), session_(queue_, processTimer()) {
    std::promise<void> ready;
    QmpSession::Handlers handlers;
    handlers.ready = [&ready] { ready.set_value(); };
    handlers.event = [this](const QmpMessage& event) { onEvent(event); };
    handlers.broken = [](Error why) { fail("QEMU: " + why.description); };
    handlers.lost = handlers.broken;
    std::uint64_t generation = 0;
    queue_.sync([&] { generation = session_.begin(handlers); });
    QemuProcess::Handlers process;
    process.message = [this, generation](const nlohmann::json& object) {
      queue_.async([this, generation, message = classifyQmpMessage(object)] {
        session_.receive(generation, message);
      });
    };
    process.ended = [this](ProcessEnd end) {
      if (!closing_) fail("QEMU ended: " + describeProcessEnd(end));
    };
    auto launched = QemuProcess::launch(launch.argv, console, files, std::move(process));
    if (!launched) fail(launched.error().description);
    process_ = std::move(*launched);
    queue_.sync([&] { session_.attach(*process_); });
    ready.get_future().wait();
  }

  ~HandDrivenQemu() {
    closing_ = true;
    queue_.sync([this] { session_.end(); });
    process_.reset();
  }

  void command(const char* name, const nlohmann::json& arguments = nullptr, int passFd = -1) {
    std::promise<QmpMessage> reply;
    queue_.async([&] {
      session_.execute(
          name, arguments, [&reply](const QmpMessage& answer) { reply.set_value(answer); }, passFd);
    });
    QmpMessage answer = reply.get_future().get();
    if (answer.kind == QmpKind::failure) fail(std::string(name) + ": " + answer.description);
  }

  void awaitMigration(const char* status) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [&] { return migration_ == status; });
    migration_.clear();
  }

 private:
  void onEvent(const QmpMessage& event) {
    if (event.name != "MIGRATION") return;
    std::lock_guard<std::mutex> guard(mutex_);
    migration_ = event.payload.value("status", std::string());
    arrived_.notify_all();
  }

  SerialQueue queue_;
  QmpSession session_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string migration_;
  std::atomic<bool> closing_{false};
  std::unique_ptr<QemuProcess> process_;
};

struct Options {
  std::string helper;
  std::string guest;
  std::string work;
  int memoryMib = 1024;
  int dirtyMib = 800;
  int rounds = 3;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--helper") {
      options.helper = value;
    } else if (name == "--guest") {
      options.guest = value;
    } else if (name == "--work") {
      options.work = value;
    } else if (name == "--memory-mib") {
      options.memoryMib = std::stoi(value);
    } else if (name == "--dirty-mib") {
      options.dirtyMib = std::stoi(value);
    } else if (name == "--rounds") {
      options.rounds = std::max(1, std::stoi(value));
    } else {
      fail("unknown option " + name);
    }
  }
  if (options.helper.empty() || options.guest.empty() || options.work.empty()) {
    fail(
        "usage: --helper PATH --guest DISK --work DIR [--memory-mib N] [--dirty-mib N] "
        "[--rounds N]");
  }
  return options;
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t middle = samples.size() / 2;
  return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

void report(const char* what, const std::vector<double>& samples) {
  std::string all;
  for (double sample : samples) {
    char text[16];
    std::snprintf(text, sizeof text, " %.3f", sample);
    all += text;
  }
  std::printf("  %-48s %7.3f s  (samples:%s)\n", what, median(samples), all.c_str());
}

std::string verdict(bool met) { return met ? "met" : "MISSED"; }

class Bench {
 public:
  explicit Bench(const Options& options) : options_(options) {
    namespace fs = std::filesystem;
    fs::remove_all(options.work);
    fs::create_directories(options.work);
    dir_ = fs::absolute(options.work).string();
    fs::copy_file(options.guest, dir_ + "/disk.img");
    std::string seed = "dirty-mib " + std::to_string(options.dirtyMib) + "\n";
    seed.resize(4096, '\0');
    test::writeFile(dir_ + "/seed.img", seed);
    console_ = dir_ + "/console.log";
    savePath_ = dir_ + "/state.sav";
    config_ = dir_ + "/helper.json";
    test::writeFile(config_, nlohmann::json{{"disk_path", dir_ + "/disk.img"},
                                            {"seed_path", dir_ + "/seed.img"},
                                            {"efi_store_path", dir_ + "/efi.vars"},
                                            {"machine_identifier_path", dir_ + "/machine.id"},
                                            {"console_log_path", console_},
                                            {"mac_address", "52:54:00:12:34:56"},
                                            {"cpu_count", 1},
                                            {"memory_mib", options.memoryMib},
                                            {"isolated", true},
                                            {"save_path", savePath_}}
                                 .dump());
  }

  ~Bench() { std::filesystem::remove_all(options_.work); }

  int run() {
    std::printf("guest: %d MiB, %d MiB of it dirtied with random bytes; %d rounds\n",
                options_.memoryMib, options_.dirtyMib, options_.rounds);

    // The guest's first life: boot, dirty, hibernate. Later lives: restore, run, hibernate.
    {
      Helper helper(helperArgv());
      helper.expect(state("starting"));
      helper.expect(state("running"));
      std::printf("booting and dirtying the guest's memory...\n");
      awaitConsole(console_, "dirtied " + std::to_string(options_.dirtyMib) + " MiB");
      std::this_thread::sleep_for(std::chrono::seconds(2));
      rss_ = residentKiB(helper.pid());
      hibernate(helper);
    }
    stateBytes_ = fileSize(savePath_);
    // Each round restores the same state twice, under the same conditions: by a QEMU driven by
    // hand, which then saves it with QEMU's default settings, and through the helper, which
    // then hibernates the guest again for the next round.
    for (int round = 0; round < options_.rounds; ++round) {
      ::sync();
      handDriven();
      ::sync();
      auto helper = restore();
      std::this_thread::sleep_for(std::chrono::seconds(2));
      if (round + 1 < options_.rounds) {
        hibernate(*helper);
      } else {
        helper->send("kill");
        helper->wait();
      }
    }
    return summarize();
  }

 private:
  std::vector<std::string> helperArgv() const {
    return {options_.helper, "run", "--config", config_};
  }

  void hibernate(Helper& helper) {
    ::sync();  // each round starts with a clean page cache
    const auto start = Clock::now();
    helper.send("hibernate");
    helper.expect(state("saving"));
    helper.expect(state("hibernated"));
    hibernations_.push_back(secondsSince(start));
    if (helper.wait() != 0) fail("the helper did not exit with status 0 after hibernating");

    // The same bytes, written and flushed by dd, right after. No shell: the paths go as they are.
    ::sync();
    const std::string copy = dir_ + "/dd.out";
    const auto ddStart = Clock::now();
    test::Finished dd = test::runProcess(
        {"/bin/dd", "if=" + savePath_, "of=" + copy, "bs=1M", "conv=fsync", "status=none"});
    if (dd.status != 0) fail("dd failed: " + dd.err);
    dd_.push_back(secondsSince(ddStart));
    std::filesystem::remove(copy);
  }

  std::unique_ptr<Helper> restore() {
    const auto start = Clock::now();
    auto helper = std::make_unique<Helper>(helperArgv());
    helper->expect(state("restoring"));
    helper->expect(state("running"));
    helperRestores_.push_back(secondsSince(start));
    return helper;
  }

  void handDriven() {
    const QemuHost host = QemuHost::detect();
    if (!host.installation) fail(host.installation.error().description);
    // The helper makes this decision once per process, before its first QEMU.
    const auto decisionStart = Clock::now();
    const AcceleratorChoice accelerator = probeAccelerator(*host.installation);
    decisions_.push_back(secondsSince(decisionStart));

    QemuPlatform platform(host);
    auto decoded = readHelperConfig(config_);
    if (!decoded) fail(decoded.error().description);
    auto configuration = buildConfiguration(*decoded, platform);
    if (!configuration) fail(configuration.error().description);
    const FirmwarePair* firmware =
        host.installation->firmwareForStore(fileSize(dir_ + "/efi.vars"));
    if (!firmware) fail("no firmware for the machine's EFI variable store");
    auto launch = buildQemuArguments(host.installation->emulator, firmware->code, accelerator,
                                     *configuration, LaunchMode::incoming);
    if (!launch) fail(launch.error().description);
    std::vector<UniqueFd> files;
    std::vector<int> passed;
    for (const PassedFile& file : launch->files) {
      auto opened =
          openFile(file.path, file.access == DiskAccess::readOnly ? O_RDONLY : O_RDWR, file.kind);
      if (!opened) fail(opened.error().description);
      passed.push_back(opened->get());
      files.push_back(std::move(*opened));
    }
    const int console =
        configuration->serialPorts.empty() ? -1 : configuration->serialPorts.front().log->get();

    // The same stream the helper restores: the file after its header.
    UniqueFd saved(::open(savePath_.c_str(), O_RDONLY | O_CLOEXEC));
    (void)::lseek(saved.get(), kSavedStateHeaderSize, SEEK_SET);
    const auto start = Clock::now();
    HandDrivenQemu qemu(*launch, console, passed);
    qemu.command("getfd", {{"fdname", "state"}}, saved.get());
    qemu.command("migrate-incoming", {{"uri", "fd:state"}});
    qemu.awaitMigration("completed");
    qemu.command("cont");
    handRestores_.push_back(secondsSince(start));

    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string throttledPath = dir_ + "/throttled.sav";
    UniqueFd target(::open(throttledPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ::sync();
    // QEMU's own default: the session lifted the bandwidth limit, so it is put back first.
    qemu.command("migrate-set-parameters", {{"max-bandwidth", 128 << 20}});
    const auto saveStart = Clock::now();
    qemu.command("stop");
    qemu.command("getfd", {{"fdname", "throttled"}}, target.get());
    qemu.command("migrate", {{"uri", "fd:throttled"}});
    qemu.awaitMigration("completed");
    throttled_.push_back(secondsSince(saveStart));
    ::fdatasync(target.get());
    throttledSynced_.push_back(secondsSince(saveStart));
    std::filesystem::remove(throttledPath);
  }

  int summarize() {
    std::printf("\nstate file: %.1f MiB\n", static_cast<double>(stateBytes_) / (1 << 20));
    std::printf("accelerator decision (medians):\n");
    report("/dev/kvm, KVM test machine, QEMU's CPU-model probes", decisions_);
    std::printf("hibernation (medians):\n");
    report("through the helper (command to \"hibernated\")", hibernations_);
    report("QEMU's default migration (throttled)", throttled_);
    report("QEMU's default migration (throttled) + fsync", throttledSynced_);
    report("dd of the same bytes + fsync", dd_);
    std::printf("restore (medians):\n");
    report("through the helper (spawn to \"running\")", helperRestores_);
    report("QEMU incoming migration driven by hand", handRestores_);
    std::printf("helper's own resident memory while the guest runs: %ld KiB\n\n", rss_);

    const double hibernation = median(hibernations_);
    const double speedup = median(throttled_) / hibernation;
    const double againstDd = hibernation / median(dd_);
    const double decision = median(decisions_);
    std::printf("targets:\n");
    std::printf("  accelerator decision under 100 ms:                 %5.1f ms   %s\n",
                decision * 1000, verdict(decision < 0.1).c_str());
    std::printf("  at least 5x faster than QEMU's throttled default:  %5.1fx     %s\n", speedup,
                verdict(speedup >= 5).c_str());
    std::printf("  within 1.1x of dd + fsync:                         %5.2fx     %s\n", againstDd,
                verdict(againstDd <= 1.1).c_str());
    std::printf("  helper's resident memory at most 3 MiB:            %5.2f MiB  %s\n",
                static_cast<double>(rss_) / 1024, verdict(rss_ > 0 && rss_ <= 3 * 1024).c_str());
    const double restore = median(helperRestores_) / median(handRestores_);
    std::printf("  restore within 1.1x of QEMU's restore by hand:     %5.2fx     %s\n", restore,
                verdict(restore <= 1.1).c_str());
    return 0;
  }

  const Options options_;
  std::string dir_;
  std::string console_;
  std::string savePath_;
  std::string config_;
  long rss_ = 0;
  std::uint64_t stateBytes_ = 0;
  std::vector<double> decisions_;
  std::vector<double> hibernations_;
  std::vector<double> dd_;
  std::vector<double> helperRestores_;
  std::vector<double> handRestores_;
  std::vector<double> throttled_;
  std::vector<double> throttledSynced_;
};

}  // namespace
}  // namespace tovan

int main(int argc, char** argv) { return tovan::Bench(tovan::parse(argc, argv)).run(); }
