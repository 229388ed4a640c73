// The QEMU backend's parts on their own, with programs standing in for QEMU. QEMU dying with the
// helper, its thread or its machine shows in the machine and end-to-end tests.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>

#include "platform/qemu/accelerator.h"
#include "platform/qemu/firmware.h"
#include "platform/qemu/machine_uuid.h"
#include "platform/qemu/qemu_arguments.h"
#include "platform/qemu/qemu_process.h"
#include "platform/qemu/state_relay.h"
#include "support/qemu.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

// Whole objects are delivered and the rest dropped. An id that is not a number is none; an error
// without a text still has one.
TEST(Qmp, FramesWholeObjectsAndSortsRepliesErrorsAndEvents) {
  QmpFramer framer;
  auto frames = [&](std::string_view bytes) {
    std::vector<std::string> seen;
    framer.feed(bytes, [&](const nlohmann::json& object) { seen.push_back(object.dump()); });
    return seen;
  };
  EXPECT_THAT(frames("{\"a\":"), ElementsAre());
  EXPECT_THAT(frames("1}\r\n{\"b\":2}\r\n{\"c\""), ElementsAre("{\"a\":1}", "{\"b\":2}"));
  EXPECT_THAT(frames(":3}\nnot json\n[1,2]\n\n{\"d\":4}\n"), ElementsAre("{\"c\":3}", "{\"d\":4}"));
  std::string huge = "{\"x\":\"" + std::string(QmpFramer::kMaxLine, 'y') + "\"}";
  EXPECT_THAT(frames(huge.substr(0, 1000)), ElementsAre());
  EXPECT_THAT(frames(huge.substr(1000) + "\n{\"ok\":true}\n"), ElementsAre("{\"ok\":true}"));

  using Sorted = std::tuple<QmpKind, std::optional<std::uint64_t>, std::string, std::string>;
  const std::pair<const char*, Sorted> rows[] = {
      {R"({"return":{},"id":"seven"})", {QmpKind::success, std::nullopt, "", ""}},
      {R"({"error":{"class":"GenericError","desc":"No migration"},"id":9})",
       {QmpKind::failure, 9, "GenericError", "No migration"}},
      {R"({"error":{"class":"GenericError"},"id":1})",
       {QmpKind::failure, 1, "GenericError", "QEMU refused the command"}},
      {R"({"event":"STOP","data":{}})", {QmpKind::event, std::nullopt, "STOP", ""}},
  };
  for (const auto& [text, sorted] : rows) {
    const QmpMessage m = classifyQmpMessage(nlohmann::json::parse(text));
    EXPECT_EQ(std::tie(m.kind, m.id, m.name, m.description), sorted) << text;
  }
}

TEST(MachineUuid, RoundTripsAndRejectsEveryDamagedForm) {
  const MachineUuid uuid = randomMachineUuid();
  EXPECT_NE(uuid, randomMachineUuid());
  const std::string stored = encodeMachineUuid(uuid);
  EXPECT_THAT(stored, StartsWith("tovan-machine-id 1 " + uuidText(uuid) + " "));
  EXPECT_EQ(decodeMachineUuid(stored), uuid);
  std::string flipped = stored, badChecksum = stored;
  flipped[20] = flipped[20] == '0' ? '1' : '0';  // one UUID digit: caught by the checksum
  badChecksum.back() = stored.back() == 'a' ? 'b' : 'a';
  for (const std::string& damaged : {std::string(), stored.substr(0, stored.size() - 1),
                                     stored + "\n", "x" + stored, flipped, badChecksum}) {
    EXPECT_EQ(decodeMachineUuid(damaged), std::nullopt) << damaged;
  }
}

std::vector<std::string> valuesOf(const std::vector<std::string>& argv, std::string_view option) {
  std::vector<std::string> values;
  for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
    if (argv[i] == option) values.push_back(argv[i + 1]);
  }
  return values;
}

// Caching, a read-only seed, the MAC, KVM with its CPU model, a console only when there is one.
// QEMU's messages name fd sets; the parent reads their paths.
TEST(QemuArguments, FollowTheConfiguration) {
  MachineConfiguration configuration;
  configuration.machineIdentifier.dataRepresentation = encodeMachineUuid({});
  configuration.storageDevices = {
      {"vm:disk,1.img", DiskAccess::readWrite, DiskCaching::cached, DiskSynchronization::full},
      {"/m/seed", DiskAccess::readOnly, DiskCaching::automatic, DiskSynchronization::full}};
  configuration.networkDevices = {NetworkDevice{MacAddress{{0x52, 0x54, 0, 0xaa, 0xbb, 0xcc}}}};
  configuration.serialPorts = {SerialPort{nullptr, "/m/console.log"}};
  auto build = [&](AcceleratorChoice accelerator = {}) {
    auto built = buildQemuArguments("/q", "/c", accelerator, configuration, LaunchMode::coldStart);
    EXPECT_EQ(describe(built), "ok");
    return built ? *built : QemuLaunch{};
  };
  QemuLaunch launch = build();
  EXPECT_THAT(valuesOf(launch.argv, "-cpu"), ElementsAre("qemu64"));
  ASSERT_EQ(launch.files.size(), 4u);
  EXPECT_EQ(launch.files[3].access, DiskAccess::readOnly);
  std::vector<std::string> nodes = valuesOf(launch.argv, "-blockdev");
  EXPECT_THAT(nodes[4], HasSubstr("filename=/dev/fdset/3,cache.direct=off,cache.no-flush=off"));
  EXPECT_THAT(nodes[7], HasSubstr("disk1,file=disk1-file,read-only=on"));
  EXPECT_THAT(valuesOf(launch.argv, "-device"),
              testing::Contains("virtio-net-pci,netdev=net0,romfile=,mac=52:54:00:aa:bb:cc"));

  configuration.storageDevices[0].caching = DiskCaching::uncached;
  configuration.storageDevices[0].synchronization = DiskSynchronization::none;
  configuration.serialPorts.clear();
  launch = build({Accelerator::kvm, "host,-arch-capabilities", ""});
  EXPECT_THAT(valuesOf(launch.argv, "-accel"), ElementsAre("kvm"));
  EXPECT_THAT(valuesOf(launch.argv, "-cpu"), ElementsAre("host,-arch-capabilities"));
  nodes = valuesOf(launch.argv, "-blockdev");
  EXPECT_THAT(nodes[4], HasSubstr("cache.direct=on,cache.no-flush=on"));
  EXPECT_THAT(valuesOf(launch.argv, "-chardev"), ElementsAre("socket,id=qmp,fd=3"));
  EXPECT_EQ(withFilePaths("lock on [/dev/fdset/3], /dev/fdset/9 and /dev/fdset/", launch.files),
            "lock on [vm:disk,1.img], /dev/fdset/9 and /dev/fdset/");
}

TEST(AcceleratorDecision, KvmOnlyWhereItCanRunAnOrdinaryGuest) {
  const std::string msrAbort =
      "error: failed to set MSR 0x10a to 0x69 kvm_buf_set_msrs: Assertion `ret == cpu->kvm_msr_buf"
      "->nmsrs' failed.";
  const std::vector<std::string> intel = {"kvm", "kvm_intel"};
  const auto halted = KvmTestOutcome::halted;
  const std::string noKvm = "tcg qemu64: QEMU cannot start a KVM guest here (";
  const struct {
    AcceleratorReport report;
    std::string decided;  // "<accelerator> <model>[: <why not KVM>]" or "try <model>"
  } rows[] = {
      {{ENOENT, {}, halted, "", {}}, "tcg qemu64: cannot open /dev/kvm: No such file or directory"},
      {{0, {"kvm", "kvm_pvm"}, halted, "", {}},
       "tcg qemu64: /dev/kvm is provided by kvm_pvm, a paravirtual KVM that cannot run an "
       "unmodified guest"},
      {{0, {"kvm", "kvm_amd"}, KvmTestOutcome::internalError, "internal error, suberror 1", {}},
       "tcg qemu64: KVM could not run a test guest (internal error, suberror 1)"},
      {{0, intel, halted, "", {}}, "try host"},
      {{0, {}, halted, "", {""}}, "kvm host"},
      {{0, intel, halted, "", {msrAbort}}, "try host,-arch-capabilities"},
      {{0, intel, halted, "", {msrAbort, ""}}, "kvm host,-arch-capabilities"},
      {{0, intel, halted, "", {msrAbort, msrAbort}}, noKvm + msrAbort + ")"},
      {{0, intel, halted, "", {"failed to set MSR 0x99 to 0x1"}},
       noKvm + "failed to set MSR 0x99 to 0x1)"},
  };
  for (const auto& row : rows) {
    const AcceleratorStep step = nextAcceleratorStep(row.report);
    const std::optional<AcceleratorChoice>& c = step.choice;
    EXPECT_EQ(!c                                   ? "try " + step.tryCpuModel
              : c->accelerator == Accelerator::kvm ? "kvm " + c->cpuModel
                                                   : "tcg " + c->cpuModel + ": " + c->whyNotKvm,
              row.decided);
  }
}

// QEMU's own messages without program name or warnings, else the way it ended.
TEST(DescribeProcessEnd, TellsQemusOwnReason) {
  const struct {
    int waitStatus;
    std::string errorOutput, fallback, reason;
  } rows[] = {
      {1 << 8,
       "qemu-system-x86_64: warning: something odd\na hint about it\n"
       "qemu-system-x86_64: Not a migration stream\n"
       "qemu-system-x86_64: load of migration failed: Invalid argument\n",
       "", "Not a migration stream; load of migration failed: Invalid argument"},
      {3 << 8, "", "", "QEMU exited with status 3"},
      {1 << 8, "qemu-system-x86_64: warning: only this\n", "", "QEMU exited with status 1"},
      {1 << 8, "", "Unable to read from socket", "Unable to read from socket"},
      {SIGKILL, "", "", "QEMU was killed by signal 9 (Killed)"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(describeProcessEnd({row.waitStatus, row.errorOutput}, row.fallback), row.reason);
  }
}

TEST(FindQemuInstallation, PrefersDebiansPathsAndPairsFirmwareOfOneFlashSize) {
  auto hostWith = [](const TempDir& root, const std::vector<std::pair<std::string, int>>& files) {
    for (const auto& [path, size] : files) {  // a negative size: an executable
      std::filesystem::create_directories(std::filesystem::path(root / path).parent_path());
      writeFile(root / path, std::string(static_cast<std::size_t>(std::abs(size)), 'x'));
      ::chmod((root / path).c_str(), size < 0 ? 0755 : 0644);
    }
    return findQemuInstallation(root.path());
  };
  TempDir debian, bare;
  auto found = hostWith(debian, {{"usr/bin/qemu-system-x86_64", -10},
                                 {"usr/local/bin/qemu-system-x86_64", -10},
                                 {"usr/share/OVMF/OVMF_CODE_4M.fd", 3653632},  // no 4M store
                                 {"usr/share/OVMF/OVMF_VARS_4M.fd", 131072},
                                 {"usr/share/OVMF/OVMF_CODE.fd", 1966080},
                                 {"usr/share/OVMF/OVMF_VARS.fd", 131072}});
  ASSERT_EQ(describe(found), "ok");
  EXPECT_EQ(found->emulator, debian / "usr/bin/qemu-system-x86_64");
  ASSERT_EQ(found->firmware.size(), 1u);
  EXPECT_EQ(found->firmwareForStore(131072)->code, debian / "usr/share/OVMF/OVMF_CODE.fd");
  EXPECT_EQ(found->firmwareForStore(540672), nullptr);

  EXPECT_THAT(describe(hostWith(bare, {})),
              StartsWith("QEMU not found (looked for /usr/bin/qemu-system-x86_64, "
                         "/usr/local/bin/qemu-system-x86_64"));
  EXPECT_THAT(describe(hostWith(bare, {{"usr/bin/qemu-system-x86_64", -10}})),
              StartsWith("OVMF firmware not found (looked for /usr/share/OVMF/OVMF_CODE_4M.fd"));
}

template <class T>
T await(std::promise<T>& promised) {  // what it is given, within kPatience
  std::future<T> future = promised.get_future();
  if (future.wait_for(kPatience) != std::future_status::ready) throw std::runtime_error("no end");
  return future.get();
}

ProcessEnd runToEnd(const std::vector<std::string>& argv, int output = -1) {
  std::promise<ProcessEnd> ended;
  auto process = QemuProcess::launch(
      argv, output, {},
      {[](const nlohmann::json&) {}, [&](ProcessEnd end) { ended.set_value(std::move(end)); }});
  if (!process) throw std::runtime_error(process.error().description);
  return await(ended);
}

// The child gets /dev/null, its output, a pipe and the QMP socket and nothing else, a process
// group of its own, and neither the ignored nor the blocked signals of its launching thread. Of a
// long error output only the tail, in whole lines, is kept; a program that cannot run says why.
TEST(QemuProcess, ChildGetsItsFourDescriptorsAndCleanSignalsAndItsEndTellsWhy) {
  TempDir dir;
  UniqueFd output(::open((dir / "output").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  UniqueFd stray(::open("/dev/null", O_RDONLY));  // not close-on-exec
  ASSERT_TRUE(stray.valid());
  sigset_t blocked, previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
  auto previousHandler = ::signal(SIGUSR2, SIG_IGN);
  // `find` lists the waiting shell's descriptors; `grep`, in QEMU's place, reports its signals.
  const int listed = runToEnd({"/bin/sh", "-c",
                               "find /proc/$$/fd -mindepth 1 -printf '%f %l\\n'; "
                               "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ] && echo own group"},
                              output.get())
                         .waitStatus;
  const int grepped =
      runToEnd({"/bin/grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"}, output.get()).waitStatus;
  ::signal(SIGUSR2, previousHandler);
  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  EXPECT_EQ(WEXITSTATUS(listed) + WEXITSTATUS(grepped), 0);
  std::vector<std::string> seen;  // "3 socket:[1234]" as "3 socket:"
  for (const std::string& line : splitLines(readFileOrEmpty(dir / "output"))) {
    seen.push_back(line.substr(0, line.find('[')));
  }
  EXPECT_THAT(seen, testing::ElementsAre("0 /dev/null", "1 " + (dir / "output"),
                                         "2 pipe:", "3 socket:", "own group",
                                         "SigBlk:\t0000000000000000", "SigIgn:\t0000000000000000"));

  ProcessEnd end = runToEnd(
      {"/bin/sh", "-c",
       "i=0; while [ $i -lt 2000 ]; do echo \"qemu-system-x86_64: noise $i\" >&2; i=$((i+1)); "
       "done; echo 'qemu-system-x86_64: the real reason' >&2; exit 3"});
  EXPECT_EQ(WEXITSTATUS(end.waitStatus), 3);
  EXPECT_LE(end.errorOutput.size(), 4096u);
  EXPECT_THAT(end.errorOutput, testing::StartsWith("qemu-system-x86_64: noise "));
  EXPECT_THAT(describeProcessEnd(end), testing::EndsWith("; the real reason"));
  EXPECT_EQ(describe(QemuProcess::launch({"/nonexistent/qemu"}, -1, {}, {})),
            "cannot execute /nonexistent/qemu: No such file or directory");
}

// The stream lands behind the header's place; a file that refuses it is reported, not taken for a
// saved state.
TEST(StateRelay, CarriesTheStreamIntoTheFileAndChecksumsItBothWays) {
  TempDir dir;
  std::string stream(3 << 20 | 12345, '\0');
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>(i * 7919 >> 5);
  StreamChecksum expected;
  expected.add(stream.data(), stream.size());
  const auto whole = std::tuple(std::uint64_t{stream.size()}, expected.value());

  auto carry = [&](int file) {
    std::promise<StateRelay::Outcome> finished;
    auto relay = StateRelay::toFile(
        UniqueFd(file), kSavedStateHeaderSize,
        [&](StateRelay::Outcome outcome) { finished.set_value(std::move(outcome)); });
    if (!relay) throw std::runtime_error(relay.error().description);
    UniqueFd qemu(::dup((*relay)->qemuEnd()));
    (*relay)->releaseQemuEnd();
    // Blocks until all of it is in, or fails once the relay has given up.
    (void)!::send(qemu.get(), stream.data(), stream.size(), MSG_NOSIGNAL);
    qemu.reset();
    return await(finished);
  };

  const std::string file = dir / "state";
  StateRelay::Outcome saved = carry(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  EXPECT_TRUE(saved.status.ok()) << describe(saved.status);
  EXPECT_EQ(std::tie(saved.length, saved.checksum), whole);
  EXPECT_EQ(readFileOrEmpty(file).substr(kSavedStateHeaderSize), stream);

  std::promise<StateRelay::Outcome> read;
  auto along = StateRelay::alongFile(UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)),
                                     kSavedStateHeaderSize, stream.size(),
                                     [&](StateRelay::Outcome outcome) { read.set_value(outcome); });
  ASSERT_TRUE(along.ok());
  const StateRelay::Outcome alongside = await(read);
  EXPECT_EQ(std::tie(alongside.length, alongside.checksum), whole);

  EXPECT_FALSE(carry(::open(file.c_str(), O_RDONLY | O_CLOEXEC)).status.ok());
}

}  // namespace
}  // namespace tovan::test
