// Whole lives of the shipped helper and the test guest (scripts/build-guest.sh), driven through
// real pipes as the parent does. The guest prints "tovan-guest ready boot=<n> uuid=<uuid> id=<boot
// id>", then "tick <boot id> <n>" each second, powers off on the ACPI power button and reads
// options from its seed disk. The machine's files have names QEMU would take for protocols and
// option lists, relative to the helper's directory: each must reach QEMU as the file it names.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "support/qemu.h"

namespace tovan::test {
namespace {

using testing::AnyOf;
using testing::ElementsAre;
using testing::IsEmpty;

std::string state(const std::string& name) {
  return R"({"event":"state","state":")" + name + "\"}";
}
const std::string kStarting = state("starting"), kRunning = state("running"),
                  kRestoring = state("restoring"), kSaving = state("saving"),
                  kHibernated = state("hibernated"), kStopped = state("stopped");
const std::string kEmulationNote = R"({"event":"log","line":"no hardware virtualization ()";
const std::string kHibernateCommand = "{\"cmd\":\"hibernate\"}\n";
const std::string kDisk = "vm:disk,1.img", kSeed = "json:{\"seed\"}", kConsole = "console:log",
                  kState = "state:1";

// The guest's ticks in a console log, in order: boot id and count.
std::vector<std::pair<std::string, int>> ticks(const std::string& console) {
  static const std::regex tick(R"(tick ([0-9a-f]+) ([0-9]+))");
  std::vector<std::pair<std::string, int>> found;
  std::smatch match;
  for (const std::string& line : splitLines(console)) {
    if (std::regex_match(line, match, tick)) found.emplace_back(match[1], std::stoi(match[2]));
  }
  return found;
}

// One machine in a directory of its own, on a copy of the built guest's disk.
class QemuEndToEnd : public testing::Test {
 protected:
  QemuEndToEnd() {
    if (!fileExists(TOVAN_GUEST_DISK)) {
      throw std::runtime_error(std::string("no test guest at ") + TOVAN_GUEST_DISK +
                               " (run scripts/build-guest.sh)");
    }
    std::filesystem::copy_file(TOVAN_GUEST_DISK, dir / kDisk);
    configure(dir, kDisk);
  }

  void TearDown() override { EXPECT_THAT(awaitNoQemuWith(dir.path()), IsEmpty()); }

  // Writes helper.json and the seed (the guest's options, padded to 4 KiB) of a machine in `in`.
  void configure(const TempDir& in, const std::string& disk, std::string options = "") {
    options.resize(4096, '\0');
    writeFile(in / kSeed, options);
    auto config = nlohmann::json::parse(R"({"seed_path": "json:{\"seed\"}", "efi_store_path":
        "efi:vars,1", "machine_identifier_path": "id,1", "console_log_path": "console:log",
        "mac_address": "52:54:00:12:34:56", "cpu_count": 1, "memory_mib": 256, "isolated": true,
        "save_path": "state:1"})");
    config["disk_path"] = disk;
    writeFile(in / "helper.json", config.dump());
  }

  std::unique_ptr<ChildProcess> run(const TempDir* in = nullptr) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{TOVAN_HELPER, "run", "--config", "helper.json"},
        (in ? *in : dir).path());
  }

  // The next `count` event lines, less the note on software emulation: it may come first on any
  // host, and must where there is no /dev/kvm (as in the runs with it hidden).
  std::vector<std::string> events(ChildProcess& helper, std::size_t count) {
    std::vector<std::string> lines;
    for (std::optional<std::string> line; lines.size() < count && (line = helper.readLine());) {
      const bool first = heard_.insert(helper.pid()).second;
      if (first && !fileExists("/dev/kvm")) {
        EXPECT_EQ(*line, kEmulationNote +
                             "cannot open /dev/kvm: No such file or directory); the "
                             "guest runs under software emulation\"}");
      }
      if (!first || line->rfind(kEmulationNote, 0) != 0) lines.push_back(*line);
    }
    return lines;
  }

  // Reads the helper to its end: `status`, and nothing more on its standard output.
  static void expectEnd(ChildProcess& helper, int status) {
    Finished finished = helper.finish();
    EXPECT_EQ(finished.status, status);
    EXPECT_EQ(finished.out, "");
  }

  // Waits for a console line that matches `pattern`; returns the whole console then.
  std::string awaitConsoleLine(const std::string& pattern) {
    const std::regex wanted(pattern);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      const std::string console = readFileOrEmpty(dir / kConsole);
      for (const std::string& line : splitLines(console)) {
        if (std::regex_match(line, wanted)) return console;
      }
      if (std::chrono::steady_clock::now() > deadline) return console;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  TempDir dir;

 private:
  std::set<pid_t> heard_;  // helpers whose first line has been read
};

// Also: "kill" ends the helper with its QEMU, not some time later.
TEST_F(QemuEndToEnd, ColdBootWritesTheConsoleOverAnOlderLogAndKillEndsIt) {
  // An older log, longer than anything this boot prints: overwritten from byte 0, never cut.
  const std::string older = "older log\n" + std::string(100000, 'o') + "\nend of older log\n";
  writeFile(dir / kConsole, older);
  auto helper = run();
  ASSERT_THAT(events(*helper, 2), ElementsAre(kStarting, kRunning));
  const std::string log = awaitConsoleLine("tick [0-9a-f]+ 2");
  // Its first boot on this disk, with the identifier file's UUID ("tovan-machine-id 1 <uuid> ...").
  const std::string uuid = readFileOrEmpty(dir / "id,1").substr(19, 36);
  EXPECT_THAT(splitLines(log).front(),
              testing::MatchesRegex("tovan-guest ready boot=1 uuid=" + uuid + " id=[0-9a-f]+"));
  EXPECT_EQ(log.size(), older.size());
  EXPECT_THAT(log, testing::EndsWith("\nend of older log\n"));
  // The guest counted its boot at 49 MiB into its disk and flushed it: the write reached the image.
  const std::string image = readFileOrEmpty(dir / kDisk);
  ASSERT_GT(image.size(), 49u << 20);
  EXPECT_EQ(image.substr(49u << 20, 3), std::string("1\n\0", 3));
  helper->write("{\"cmd\":\"kill\"}\n");
  expectEnd(*helper, 0);
  EXPECT_THAT(qemuProcessesWith(dir.path()), IsEmpty());
}

// A state resumes only whole and onto the disk it was saved with: garbage, a state with one byte
// flipped and one over a disk written since are each deleted for a real cold boot. The machine
// cold-booted last holds its disk: another machine on it fails with QEMU's reason.
TEST_F(QemuEndToEnd, AStateResumesOnlyWholeAndOntoItsOwnDisk) {
  writeFile(dir / kState, "not a saved machine\n");
  const std::string refusals[] = {"saved state is not in this helper's format",
                                  "saved state is damaged (checksum mismatch)",
                                  "the disk changed after the state was saved"};
  std::unique_ptr<ChildProcess> owner;
  for (int boot = 1; boot <= 3; ++boot) {
    owner = run();
    ASSERT_THAT(events(*owner, 4), ElementsAre(kRestoring,
                                               R"({"event":"log","line":"restore failed ()" +
                                                   refusals[boot - 1] + R"(); cold-booting"})",
                                               kStarting, kRunning));
    EXPECT_FALSE(fileExists(dir / kState));
    EXPECT_THAT(awaitConsoleLine("tovan-guest ready boot=" + std::to_string(boot) + " .*"),
                testing::ContainsRegex("ready boot=" + std::to_string(boot)));
    if (boot == 3) break;
    owner->write(kHibernateCommand);
    ASSERT_THAT(events(*owner, 2), ElementsAre(kSaving, kHibernated));
    expectEnd(*owner, 0);
    // The stream's middle (guest memory, which QEMU would load as it is), or the boot counter's
    // sector of the disk rewritten with its own bytes.
    const std::string file = boot == 1 ? dir / kState : dir / kDisk;
    const std::uint64_t offset = boot == 1 ? std::filesystem::file_size(file) / 2 : 49u << 20;
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    char sector[512];
    bytes.seekg(static_cast<std::streamoff>(offset)).read(sector, sizeof sector);
    sector[100] = static_cast<char>(sector[100] ^ (boot == 1 ? 0x01 : 0));
    bytes.seekp(static_cast<std::streamoff>(offset)).write(sector, sizeof sector);
  }
  TempDir other;  // another machine of its own, on the same disk
  configure(other, dir / kDisk);
  auto intruder = run(&other);
  EXPECT_THAT(events(*intruder, 2),
              ElementsAre(kStarting, R"({"event":"error","message":"start failed: -device )"
                                     R"(virtio-blk-pci,drive=disk0,write-cache=on,werror=report,)"
                                     R"(rerror=report: Failed to get \"write\" lock Is another )"
                                     R"(process using the image [)" +
                                         (dir / kDisk) + R"(]?"})"));
  expectEnd(*intruder, 1);
  ::kill(owner->pid(), SIGKILL);
  EXPECT_EQ(owner->finish().status, 128 + SIGKILL);
}

// The helper or its QEMU killed at a random point of a save or of a restore: the next run resumes
// a state that verifies, or cold-boots, and never finds a damaged one. Then many cycles, each
// helper holding the descriptors, threads and memory that the first held.
TEST_F(QemuEndToEnd, KillsNeverLeaveATornStateAndCyclesRestoreTheGuestWhereItWas) {
  std::mt19937 random(20261208);
  // Kills the helper or its QEMU within `upToMs`; a helper still alive is then told to end.
  auto cutShort = [&](ChildProcess& helper, bool qemu, int upToMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % upToMs));
    const std::vector<pid_t> qemus = qemuProcessesWith(dir.path());
    ::kill(qemu && !qemus.empty() ? qemus.front() : helper.pid(), SIGKILL);
    helper.write("{\"cmd\":\"kill\"}\n");
    EXPECT_THAT(helper.finish().out, testing::Not(testing::HasSubstr("damaged")));
    ASSERT_THAT(awaitNoQemuWith(dir.path()), IsEmpty());
  };
  // Runs the machine and hibernates it at the end of its input.
  auto hibernateOnce = [&] {
    auto helper = run();
    EXPECT_THAT(events(*helper, 2), ElementsAre(AnyOf(kStarting, kRestoring), kRunning));
    helper->closeStdin();
    ASSERT_THAT(events(*helper, 2), ElementsAre(kSaving, kHibernated));
    expectEnd(*helper, 0);
  };
  configure(dir, kDisk, "dirty-mib 128\n");  // a state big enough to be cut in its middle
  for (const bool qemu : {false, true}) {
    auto saving = run();
    ASSERT_THAT(events(*saving, 2), ElementsAre(AnyOf(kStarting, kRestoring), kRunning));
    if (!qemu) awaitConsoleLine("dirtied 128 MiB");
    saving->write(kHibernateCommand);
    ASSERT_THAT(events(*saving, 1), ElementsAre(kSaving));
    cutShort(*saving, qemu, 400);
    hibernateOnce();
    auto restoring = run();
    ASSERT_THAT(events(*restoring, 1), ElementsAre(kRestoring));
    cutShort(*restoring, qemu, 300);
    hibernateOnce();
  }

  // Twenty cycles of restore and freeze at the end of input. The guest goes on where it was, with
  // its boot and tick count; restored once more, it powers off when asked to stop.
  std::vector<long> first, last;
  std::pair<std::string, int> frozen;
  for (int cycle = 0;; ++cycle) {
    std::filesystem::remove(dir / kConsole);  // the restored guest's first line is the first in it
    auto helper = run();
    ASSERT_THAT(events(*helper, 2), ElementsAre(kRestoring, kRunning)) << cycle;
    EXPECT_FALSE(fileExists(dir / kState));
    (cycle == 0 ? first : last) = processCost(helper->pid());
    if (cycle == 20) {
      const auto resumed = ticks(awaitConsoleLine("tick [0-9a-f]+ [0-9]+")).front();
      EXPECT_EQ(resumed.first, frozen.first);
      EXPECT_GE(resumed.second, frozen.second);
      helper->write("{\"cmd\":\"stop\"}\n");
      ASSERT_THAT(events(*helper, 1), ElementsAre(kStopped));
      expectEnd(*helper, 0);
      EXPECT_THAT(readFileOrEmpty(dir / kConsole), testing::HasSubstr("power button pressed\r\n"));
      break;
    }
    if (cycle == 0) frozen = ticks(awaitConsoleLine("tick [0-9a-f]+ [0-9]+")).back();
    helper->closeStdin();
    ASSERT_THAT(events(*helper, 2), ElementsAre(kSaving, kHibernated)) << cycle;
    expectEnd(*helper, 0);
  }
  EXPECT_FALSE(fileExists(dir / kState));
  EXPECT_EQ(last[0], first[0]);  // descriptors
  EXPECT_EQ(last[1], first[1]);  // threads
  EXPECT_LT(last[2], first[2] + 4096) << "KiB of resident memory";
}

}  // namespace
}  // namespace tovan::test
