// Whole lives of a real machine: the shipped tovan-vmhelper boots the test guest
// (scripts/build-guest.sh) with QEMU and OVMF, and each test talks to it as the parent app does,
// through real pipes, checking the exact event lines, the exit status and the files left.
//
// The guest prints "tovan-guest ready boot=<n> uuid=<uuid> id=<boot id>" and then
// "tick <boot id> <n>" each second on its console, powers off on the ACPI power button, and reads
// options from its seed disk. Boots are costly under TCG (10 to 15 s), so each test shares one
// boot across the checks of one life.
#include <signal.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "support/qemu.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::SizeIs;

const std::string kStarting = R"({"event":"state","state":"starting"})";
const std::string kRunning = R"({"event":"state","state":"running"})";
const std::string kRestoring = R"({"event":"state","state":"restoring"})";
const std::string kSaving = R"({"event":"state","state":"saving"})";
const std::string kHibernated = R"({"event":"state","state":"hibernated"})";
const std::string kStopped = R"({"event":"state","state":"stopped"})";

struct Tick {
  std::string bootId;
  int count = 0;
};

// The guest's console lines, "\r\n" and all, as QEMU wrote them.
std::vector<std::string> consoleLines(const std::string& text) {
  return qemutest::splitLines(text);
}

std::optional<Tick> parseTick(const std::string& line) {
  static const std::regex tick(R"(tick ([0-9a-f]+) ([0-9]+))");
  std::smatch match;
  if (!std::regex_match(line, match, tick)) return std::nullopt;
  return Tick{match[1], std::stoi(match[2])};
}

// The first tick in the console log.
std::optional<Tick> firstTick(const std::string& console) {
  for (const std::string& line : consoleLines(console)) {
    if (auto tick = parseTick(line)) return tick;
  }
  return std::nullopt;
}

// The last tick in the console log.
std::optional<Tick> lastTick(const std::string& console) {
  std::optional<Tick> last;
  for (const std::string& line : consoleLines(console)) {
    if (auto tick = parseTick(line)) last = tick;
  }
  return last;
}

// One machine's files in a directory of its own, the guest's disk copied from the built one.
class GuestMachine {
 public:
  GuestMachine() {
    if (!test::fileExists(TOVAN_GUEST_DISK)) {
      throw std::runtime_error(std::string("no test guest at ") + TOVAN_GUEST_DISK +
                               " (run scripts/build-guest.sh)");
    }
    std::filesystem::copy_file(TOVAN_GUEST_DISK, disk());
    seed("");
    configure(disk());
  }

  // Rewrites helper.json for a machine on the disk at `diskPath`.
  void configure(const std::string& diskPath) {
    nlohmann::json settings = {{"disk_path", diskPath},
                               {"seed_path", path(names.seed)},
                               {"efi_store_path", path(names.efi)},
                               {"machine_identifier_path", path(names.id)},
                               {"console_log_path", path(names.console)},
                               {"mac_address", "52:54:00:12:34:56"},
                               {"cpu_count", 1},
                               {"memory_mib", 256},
                               {"isolated", true},
                               {"save_path", path(names.state)}};
    if (relative) settings["disk_path"] = names.disk;
    test::writeFile(config(), settings.dump());
  }

  // From here on the machine's files have names that QEMU would take for protocols and option
  // lists, given relative to the machine's directory, where the helper runs.
  void useUnusualNames() {
    const std::string oldDisk = disk();
    const std::string oldSeed = path(names.seed);
    names = {"vm:disk,1.img", "json:{\"seed\"}", "efi:vars,1", "id,1", "console:log", "state:1"};
    relative = true;
    std::filesystem::rename(oldDisk, disk());
    std::filesystem::rename(oldSeed, dir / names.seed);
    configure(disk());
  }

  // Options for the guest, one per line, padded to the 4 KiB it reads.
  void seed(const std::string& options) {
    std::string bytes = options;
    bytes.resize(4096, '\0');
    test::writeFile(dir / names.seed, bytes);
  }

  std::unique_ptr<test::ChildProcess> run() {
    return std::make_unique<test::ChildProcess>(
        std::vector<std::string>{TOVAN_HELPER, "run", "--config", config()},
        relative ? dir.path() : std::string());
  }

  // Waits for a console line that matches `pattern`; returns the whole console then.
  std::string awaitConsoleLine(const std::string& pattern) {
    const std::regex wanted(pattern);
    return qemutest::awaitFile(dir / names.console, [&](const std::string& text) {
      for (const std::string& line : consoleLines(text)) {
        if (std::regex_match(line, wanted)) return true;
      }
      return false;
    });
  }

  // The UUID the helper keeps for this machine, as the guest should see it.
  std::string storedUuid() {
    std::string stored = test::readFileOrEmpty(dir / names.id);
    std::istringstream words(stored);
    std::string tag, version, uuid;
    words >> tag >> version >> uuid;
    return uuid;
  }

  std::string disk() const { return dir / names.disk; }
  std::string config() const { return dir / "helper.json"; }
  std::string console() const { return dir / names.console; }
  std::string state() const { return dir / names.state; }

  test::TempDir dir;

 private:
  struct Names {
    std::string disk, seed, efi, id, console, state;
  };
  // As the configuration gives it.
  std::string path(const std::string& name) const { return relative ? name : dir / name; }

  Names names = {"disk.img", "seed.img", "efi.vars", "machine.id", "console.log", "state.sav"};
  bool relative = false;
};

const std::string kEmulationNote = R"({"event":"log","line":"no hardware virtualization ()";

class QemuEndToEnd : public testing::Test {
 protected:
  // The next `count` event lines, less the note on software emulation: it may come first on any
  // host, and must where there is no /dev/kvm (as in the runs with it hidden).
  std::vector<std::string> events(test::ChildProcess& helper, std::size_t count) {
    static const bool kvmHidden = !test::fileExists("/dev/kvm");
    std::vector<std::string> lines;
    while (lines.size() < count) {
      auto line = helper.readLine();
      if (!line) break;
      if (heard_.insert(helper.pid()).second) {  // the helper's first line
        if (line->rfind(kEmulationNote, 0) == 0) {
          if (kvmHidden) {
            EXPECT_EQ(*line, kEmulationNote +
                                 "cannot open /dev/kvm: No such file or directory); "
                                 "the guest runs under software emulation\"}");
          }
          continue;
        }
        EXPECT_FALSE(kvmHidden) << "no note on software emulation before " << *line;
      }
      lines.push_back(*line);
    }
    return lines;
  }

  void TearDown() override {
    EXPECT_THAT(qemutest::awaitNoQemuWith(machine.dir.path()), IsEmpty());
  }

  GuestMachine machine;

 private:
  std::set<pid_t> heard_;  // helpers whose first line has been read
};

TEST_F(QemuEndToEnd, ColdBootWritesTheConsoleOverAnOlderLogAndStopsWhenAsked) {
  // An older log, longer than anything this boot prints: overwritten from byte 0, never cut.
  const std::string older = "older log\n" + std::string(100000, 'o') + "\nend of older log\n";
  test::writeFile(machine.console(), older);

  auto helper = machine.run();
  ASSERT_THAT(events(*helper, 2), ElementsAre(kStarting, kRunning));
  const std::string console = machine.awaitConsoleLine("tick [0-9a-f]+ 2");
  const std::vector<std::string> lines = consoleLines(console);
  ASSERT_FALSE(lines.empty());
  // The guest's first boot on this disk, with the identifier's UUID as its DMI product UUID.
  EXPECT_THAT(lines[0], testing::MatchesRegex("tovan-guest ready boot=1 uuid=" +
                                              machine.storedUuid() + " id=[0-9a-f]+"));
  EXPECT_EQ(console.size(), older.size());
  EXPECT_THAT(console, testing::EndsWith("\nend of older log\n"));

  helper->write("{\"cmd\":\"stop\"}\n");
  ASSERT_THAT(events(*helper, 1), ElementsAre(kStopped));
  test::Finished finished = helper->finish();
  EXPECT_EQ(finished.status, 0);
  EXPECT_EQ(finished.out, "");
  EXPECT_THAT(test::readFileOrEmpty(machine.console()), HasSubstr("power button pressed\r\n"));

  // The guest counted its boot on the disk's state partition (at 49 MiB) and flushed it: the
  // write reached the image.
  std::string image = test::readFileOrEmpty(machine.disk());
  ASSERT_GT(image.size(), 49u << 20);
  EXPECT_EQ(image.substr(49u << 20, 3), std::string("1\n\0", 3));
}

// Also: every file of the machine reaches QEMU as the file its name gives, however odd the name.
TEST_F(QemuEndToEnd, AGuestThatPowersOffByItselfHasStopped) {
  machine.useUnusualNames();
  machine.seed("poweroff-after 1\n");
  auto helper = machine.run();
  ASSERT_THAT(events(*helper, 3), ElementsAre(kStarting, kRunning, kStopped));
  test::Finished finished = helper->finish();
  EXPECT_EQ(finished.status, 0);
  EXPECT_EQ(finished.out, "");
  EXPECT_THAT(test::readFileOrEmpty(machine.console()), HasSubstr("powering off by itself\r\n"));
  EXPECT_FALSE(test::fileExists(machine.state()));
}

TEST_F(QemuEndToEnd, HibernationAndEndOfInputFreezeTheGuestAndRestoreItWhereItWas) {
  // First life: boot, tick, hibernate on command.
  auto first = machine.run();
  ASSERT_THAT(events(*first, 2), ElementsAre(kStarting, kRunning));
  machine.awaitConsoleLine("tick [0-9a-f]+ 3");
  first->write("{\"cmd\":\"hibernate\"}\n");
  ASSERT_THAT(events(*first, 2), ElementsAre(kSaving, kHibernated));
  test::Finished firstEnd = first->finish();
  EXPECT_EQ(firstEnd.status, 0);
  EXPECT_EQ(firstEnd.out, "");
  EXPECT_TRUE(test::fileExists(machine.state()));
  EXPECT_FALSE(test::fileExists(machine.state() + ".part"));
  EXPECT_THAT(qemutest::awaitNoQemuWith(machine.dir.path()), IsEmpty());
  const auto frozen = lastTick(test::readFileOrEmpty(machine.console()));
  ASSERT_TRUE(frozen.has_value());

  // Second life: restored, the same boot counting on; then the parent goes away. The log is
  // removed first, so that the restored guest's first line is the first in the file.
  std::filesystem::remove(machine.console());
  auto second = machine.run();
  ASSERT_THAT(events(*second, 2), ElementsAre(kRestoring, kRunning));
  EXPECT_FALSE(test::fileExists(machine.state()));
  std::string console = machine.awaitConsoleLine("tick " + frozen->bootId + " [0-9]+");
  const auto resumed = firstTick(console);
  ASSERT_TRUE(resumed.has_value()) << console;
  EXPECT_EQ(resumed->bootId, frozen->bootId);
  EXPECT_GE(resumed->count, frozen->count);
  EXPECT_LE(resumed->count, frozen->count + 2);

  second->closeStdin();
  ASSERT_THAT(events(*second, 2), ElementsAre(kSaving, kHibernated));
  test::Finished secondEnd = second->finish();
  EXPECT_EQ(secondEnd.status, 0);
  EXPECT_EQ(secondEnd.out, "");
  EXPECT_TRUE(test::fileExists(machine.state()));
  EXPECT_THAT(qemutest::awaitNoQemuWith(machine.dir.path()), IsEmpty());

  // Third life: restored again, still the same boot; it powers off when asked.
  std::filesystem::remove(machine.console());
  auto third = machine.run();
  ASSERT_THAT(events(*third, 2), ElementsAre(kRestoring, kRunning));
  console = machine.awaitConsoleLine("tick " + frozen->bootId + " [0-9]+");
  ASSERT_TRUE(firstTick(console).has_value()) << console;
  EXPECT_EQ(firstTick(console)->bootId, frozen->bootId);
  third->write("{\"cmd\":\"stop\"}\n");
  ASSERT_THAT(events(*third, 1), ElementsAre(kStopped));
  test::Finished thirdEnd = third->finish();
  EXPECT_EQ(thirdEnd.status, 0);
  EXPECT_EQ(thirdEnd.out, "");
  EXPECT_FALSE(test::fileExists(machine.state()));
}

TEST_F(QemuEndToEnd, AGarbageStateFileIsReportedAndTheMachineColdBootsThenKillEndsIt) {
  test::writeFile(machine.state(), "not a saved machine\n");
  auto helper = machine.run();
  ASSERT_THAT(events(*helper, 4),
              ElementsAre(kRestoring,
                          R"({"event":"log","line":"restore failed (Not a migration stream; )"
                          R"(load of migration failed: Invalid argument); cold-booting"})",
                          kStarting, kRunning));
  EXPECT_FALSE(test::fileExists(machine.state()));
  // A real cold boot: the guest's first on this disk.
  machine.awaitConsoleLine("tovan-guest ready boot=1 .*");

  helper->write("{\"cmd\":\"kill\"}\n");
  test::Finished finished = helper->finish();
  EXPECT_EQ(finished.status, 0);
  EXPECT_EQ(finished.out, "");
  // QEMU ended with the helper, not some time later.
  EXPECT_THAT(qemutest::qemuProcessesWith(machine.dir.path()), IsEmpty());
}

TEST_F(QemuEndToEnd, ADiskInUseFailsWithQemusReasonAndSigkillLeavesNoQemu) {
  auto owner = machine.run();
  ASSERT_THAT(events(*owner, 2), ElementsAre(kStarting, kRunning));
  ASSERT_THAT(qemutest::qemuProcessesWith(machine.dir.path()), SizeIs(1));

  // Another machine of its own, on the same disk.
  GuestMachine intruder;
  intruder.configure(machine.disk());
  test::Finished refused = test::runProcess({TOVAN_HELPER, "run", "--config", intruder.config()});
  EXPECT_EQ(refused.status, 1);
  if (refused.out.rfind(kEmulationNote, 0) == 0) refused.out.erase(0, refused.out.find('\n') + 1);
  EXPECT_EQ(
      refused.out,
      kStarting + "\n" +
          R"({"event":"error","message":"start failed: -device virtio-blk-pci,)"
          R"(drive=disk0,write-cache=on,werror=report,rerror=report: Failed to get \"write\" )"
          R"(lock Is another process )"
          R"(using the image [)" +
          machine.disk() + R"(]?"})" + "\n");

  ::kill(owner->pid(), SIGKILL);
  test::Finished killed = owner->finish();
  EXPECT_EQ(killed.status, 128 + SIGKILL);
  EXPECT_THAT(qemutest::awaitNoQemuWith(machine.dir.path()), IsEmpty());
}

TEST_F(QemuEndToEnd, AMissingDiskIsAConfigurationErrorInQemusWords) {
  machine.configure(machine.dir / "missing.img");
  test::Finished finished = test::runProcess({TOVAN_HELPER, "run", "--config", machine.config()});
  EXPECT_EQ(finished.status, 1);
  EXPECT_EQ(finished.out, R"({"event":"error","message":"configuration error: Could not open ')" +
                              (machine.dir / "missing.img") + R"(': No such file or directory"})" +
                              "\n");
  EXPECT_THAT(qemutest::qemuProcessesWith(machine.dir.path()), IsEmpty());
}

}  // namespace
}  // namespace tovan
