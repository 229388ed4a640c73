// Hibernation and restore of a real guest through tovan-vmhelper, against what QEMU and the disk
// do without it, all measured in one run on the same guest, over a few rounds (medians count):
//   - the helper cold-boots a 1 GiB guest that fills 800 MiB of its memory with random bytes; its
//     resident memory is read while the guest runs; "hibernate" is timed from the command to the
//     "hibernated" event (pause, save, flush, move into place), and right after it dd copies the
//     state file with a flush; later rounds restore the guest through the helper (spawn to
//     "running") and hibernate it again;
//   - a QEMU driven by hand over QMP restores the same state (spawn to running), then saves that
//     guest again with QEMU's default migration settings (throttled to 128 MiB/s).
// Usage: tovan_hibernate_bench --helper PATH --guest DISK --work DIR [--memory-mib N]
//        [--dirty-mib N] [--rounds N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/files.h"
#include "config/helper_config.h"
#include "machine/build_configuration.h"
#include "platform/qemu/accelerator.h"
#include "platform/qemu/qemu_arguments.h"
#include "platform/qemu/qemu_platform.h"
#include "platform/qemu/qemu_process.h"
#include "platform/qemu/qmp.h"

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

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) fail("cannot write " + path);
}

std::uint64_t fileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

void awaitConsole(const std::string& path, const std::string& text) {
  const auto deadline = Clock::now() + kPatience;
  while (readFile(path).find(text) == std::string::npos) {
    if (Clock::now() > deadline) fail("the guest never printed \"" + text + "\"");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The helper, spawned as the parent app spawns it: events on a pipe, commands on another.
class Helper {
 public:
  explicit Helper(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  Helper(Helper&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)),
        in_(std::exchange(other.in_, -1)),
        out_(std::exchange(other.out_, -1)),
        buffer_(std::move(other.buffer_)) {}
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  ~Helper() {
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void send(const std::string& line) { (void)writeAll(in_, line + "\n"); }

  // The next event line; fails the run on anything else than `expected`.
  void expect(const std::string& expected) {
    std::string line = readLine();
    if (line != expected)
      fail("expected " + expected + ", got " + (line.empty() ? "nothing" : line));
  }

  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid() const { return pid_; }

 private:
  std::string readLine() {
    for (;;) {
      auto newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      pollfd ready{out_, POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0) {
        return {};
      }
      char chunk[4096];
      ssize_t got = ::read(out_, chunk, sizeof chunk);
      if (got <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

std::string state(const char* name) {
  return std::string(R"({"event":"state","state":")") + name + "\"}";
}

// Resident memory of a process, in KiB.
long residentKiB(pid_t pid) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// QEMU driven by hand: one command at a time, waiting for its reply or for an event.
class HandDrivenQemu {
 public:
  HandDrivenQemu(const std::vector<std::string>& argv, int console, const std::vector<int>& files) {
    QemuProcess::Handlers handlers;
    handlers.message = [this](const nlohmann::json& object) {
      std::lock_guard<std::mutex> guard(mutex_);
      messages_.push_back(classifyQmpMessage(object));
      arrived_.notify_all();
    };
    handlers.ended = [this](ProcessEnd end) {
      std::lock_guard<std::mutex> guard(mutex_);
      ended_ = describeProcessEnd(end);
      arrived_.notify_all();
    };
    auto launched = QemuProcess::launch(argv, console, files, std::move(handlers));
    if (!launched) fail(launched.error().description);
    process_ = std::move(*launched);
    await([](const QmpMessage& message) { return message.kind == QmpKind::greeting; });
  }

  QmpMessage command(const char* name, const nlohmann::json& arguments = nullptr, int passFd = -1) {
    const std::uint64_t id = nextId_++;
    if (!process_->send(qmpCommand(name, id, arguments), passFd)) fail("QEMU went away");
    QmpMessage reply = await([id](const QmpMessage& message) { return message.id == id; });
    if (reply.kind == QmpKind::failure) fail(std::string(name) + ": " + reply.description);
    return reply;
  }

  void awaitMigration(const char* status) {
    await([status](const QmpMessage& message) {
      return message.kind == QmpKind::event && message.name == "MIGRATION" &&
             message.payload.value("status", "") == status;
    });
  }

 private:
  template <class Predicate>
  QmpMessage await(Predicate wanted) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (!messages_.empty()) {
        QmpMessage message = std::move(messages_.front());
        messages_.pop_front();
        if (wanted(message)) return message;
      }
      if (ended_) fail("QEMU ended: " + *ended_);
      if (!arrived_.wait_for(lock, kPatience, [&] { return !messages_.empty() || ended_; })) {
        fail("QEMU said nothing");
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<QmpMessage> messages_;
  std::optional<std::string> ended_;
  std::uint64_t nextId_ = 1;
  std::unique_ptr<QemuProcess> process_;  // last: its watcher stops before the rest goes
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
    std::string name = argv[i];
    std::string value = argv[i + 1];
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
    writeFile(dir_ + "/seed.img", seed);
    console_ = dir_ + "/console.log";
    savePath_ = dir_ + "/state.sav";
    config_ = dir_ + "/helper.json";
    writeFile(config_, R"({"disk_path":")" + dir_ + R"(/disk.img","seed_path":")" + dir_ +
                           R"(/seed.img","efi_store_path":")" + dir_ +
                           R"(/efi.vars","machine_identifier_path":")" + dir_ +
                           R"(/machine.id","console_log_path":")" + console_ +
                           R"(","mac_address":"52:54:00:12:34:56","cpu_count":1,"memory_mib":)" +
                           std::to_string(options.memoryMib) + R"(,"isolated":true,"save_path":")" +
                           savePath_ + R"("})");
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
    for (int round = 1; round < options_.rounds; ++round) {
      Helper helper = restore();
      std::this_thread::sleep_for(std::chrono::seconds(2));
      hibernate(helper);
    }
    stateBytes_ = fileSize(savePath_);

    // The same state restored by a QEMU driven by hand, which then saves it with QEMU's
    // default settings.
    for (int round = 0; round < options_.rounds; ++round) handDriven();

    // A last restore through the helper.
    {
      Helper helper = restore();
      helper.send(R"({"cmd":"kill"})");
      helper.wait();
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
    helper.send(R"({"cmd":"hibernate"})");
    helper.expect(state("saving"));
    helper.expect(state("hibernated"));
    hibernations_.push_back(secondsSince(start));
    if (helper.wait() != 0) fail("the helper did not exit with status 0 after hibernating");

    // The same bytes, written and flushed by dd, right after.
    ::sync();
    const std::string copy = dir_ + "/dd.out";
    const std::string command =
        "dd if=" + savePath_ + " of=" + copy + " bs=1M conv=fsync status=none";
    const auto ddStart = Clock::now();
    if (std::system(command.c_str()) != 0) fail("dd failed");
    dd_.push_back(secondsSince(ddStart));
    std::filesystem::remove(copy);
  }

  Helper restore() {
    const auto start = Clock::now();
    Helper helper(helperArgv());
    helper.expect(state("restoring"));
    helper.expect(state("running"));
    helperRestores_.push_back(secondsSince(start));
    return helper;
  }

  void handDriven() {
    QemuPlatform platform(QemuHost::detect());
    auto decoded = readHelperConfig(config_);
    if (!decoded) fail(decoded.error().description);
    auto configuration = buildConfiguration(*decoded, platform);
    if (!configuration) fail(configuration.error().description);
    const QemuHost host = QemuHost::detect();
    if (!host.installation) fail(host.installation.error().description);
    // The helper makes this decision once per process, before its first QEMU.
    const auto decisionStart = Clock::now();
    const AcceleratorChoice accelerator = probeAccelerator(*host.installation);
    decisions_.push_back(secondsSince(decisionStart));
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

    UniqueFd saved(::open(savePath_.c_str(), O_RDONLY | O_CLOEXEC));
    const auto start = Clock::now();
    HandDrivenQemu qemu(launch->argv, console, passed);
    qemu.command("qmp_capabilities");
    qemu.command("migrate-set-capabilities",
                 {{"capabilities", {{{"capability", "events"}, {"state", true}}}}});
    qemu.command("getfd", {{"fdname", "state"}}, saved.get());
    qemu.command("migrate-incoming", {{"uri", "fd:state"}});
    qemu.awaitMigration("completed");
    qemu.command("cont");
    handRestores_.push_back(secondsSince(start));

    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string throttledPath = dir_ + "/throttled.sav";
    UniqueFd target(::open(throttledPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ::sync();
    const auto saveStart = Clock::now();
    qemu.command("stop");
    qemu.command("getfd", {{"fdname", "throttled"}}, target.get());
    qemu.command("migrate", {{"uri", "fd:throttled"}});
    qemu.awaitMigration("completed");
    throttled_.push_back(secondsSince(saveStart));
    ::fdatasync(target.get());
    throttledSynced_.push_back(secondsSince(saveStart));
    qemu.command("quit");
    std::filesystem::remove(throttledPath);
  }

  int summarize() {
    std::printf("\nstate file: %.1f MiB\n", static_cast<double>(stateBytes_) / (1 << 20));
    std::printf("hibernation (medians):\n");
    report("through the helper (command to \"hibernated\")", hibernations_);
    report("QEMU's default migration (throttled)", throttled_);
    report("QEMU's default migration (throttled) + fsync", throttledSynced_);
    report("dd of the same bytes + fsync", dd_);
    std::printf("restore (medians):\n");
    report("through the helper (spawn to \"running\")", helperRestores_);
    report("QEMU incoming migration driven by hand", handRestores_);
    std::printf("helper's own resident memory while the guest runs: %ld KiB\n", rss_);
    std::printf(
        "accelerator decision (/dev/kvm, KVM test machine, QEMU CPU-model probes): "
        "%.1f ms\n\n",
        median(decisions_) * 1000);

    const double hibernation = median(hibernations_);
    const double speedup = median(throttled_) / hibernation;
    const double againstDd = hibernation / median(dd_);
    std::printf("targets:\n");
    std::printf("  at least 5x faster than QEMU's throttled default:  %5.1fx     %s\n", speedup,
                verdict(speedup >= 5).c_str());
    std::printf("  within 1.1x of dd + fsync:                         %5.2fx     %s\n", againstDd,
                verdict(againstDd <= 1.1).c_str());
    std::printf("  helper's resident memory at most 3 MiB:            %5.2f MiB  %s\n",
                static_cast<double>(rss_) / 1024, verdict(rss_ > 0 && rss_ <= 3 * 1024).c_str());
    std::printf("  restore through the helper / restore by hand:      %5.2fx\n",
                median(helperRestores_) / median(handRestores_));
    return 0;
  }

  const Options options_;
  std::string dir_;
  std::string console_;
  std::string savePath_;
  std::string config_;
  long rss_ = 0;
  std::uint64_t stateBytes_ = 0;
  std::vector<double> hibernations_;
  std::vector<double> dd_;
  std::vector<double> helperRestores_;
  std::vector<double> handRestores_;
  std::vector<double> throttled_;
  std::vector<double> throttledSynced_;
  std::vector<double> decisions_;
};

}  // namespace
}  // namespace tovan

int main(int argc, char** argv) { return tovan::Bench(tovan::parse(argc, argv)).run(); }
