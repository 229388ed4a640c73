// The QEMU backend's pure parts: QMP framing and sorting, the identifier file's form, the
// command line, QEMU's error text and the search for QEMU and its firmware.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/qemu/accelerator.h"
#include "platform/qemu/firmware.h"
#include "platform/qemu/machine_uuid.h"
#include "platform/qemu/qemu_arguments.h"
#include "platform/qemu/qemu_process.h"
#include "platform/qemu/qmp.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using testing::AnyOf;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

std::vector<std::string> frames(QmpFramer& framer, std::string_view bytes) {
  std::vector<std::string> seen;
  framer.feed(bytes, [&](const nlohmann::json& object) { seen.push_back(object.dump()); });
  return seen;
}

// Whole objects across any split; lines that are not an object, or are overlong, are dropped and
// the stream goes on after them.
TEST(QmpFramer, DeliversWholeObjectsAndDropsTheRest) {
  QmpFramer framer;
  EXPECT_THAT(frames(framer, "{\"a\":"), ElementsAre());
  EXPECT_THAT(frames(framer, "1}\r\n{\"b\":2}\r\n{\"c\""), ElementsAre("{\"a\":1}", "{\"b\":2}"));
  EXPECT_THAT(frames(framer, ":3}\nnot json\n[1,2]\n\n{\"d\":4}\n"),
              ElementsAre("{\"c\":3}", "{\"d\":4}"));
  std::string huge = "{\"x\":\"" + std::string(QmpFramer::kMaxLine, 'y') + "\"}";
  EXPECT_THAT(frames(framer, huge.substr(0, 1000)), ElementsAre());
  EXPECT_THAT(frames(framer, huge.substr(1000) + "\n{\"ok\":true}\n"),
              ElementsAre("{\"ok\":true}"));
}

TEST(QmpMessage, SortsRepliesErrorsAndEvents) {
  auto parse = [](const char* text) { return classifyQmpMessage(nlohmann::json::parse(text)); };
  EXPECT_EQ(parse(R"({"QMP":{"version":{},"capabilities":[]}})").kind, QmpKind::greeting);
  QmpMessage success = parse(R"({"return":{"status":"running"},"id":7})");
  EXPECT_EQ(success.kind, QmpKind::success);
  EXPECT_EQ(success.id, 7u);

  QmpMessage failure =
      parse(R"({"error":{"class":"GenericError","desc":"No migration in progress"},"id":9})");
  EXPECT_EQ(failure.kind, QmpKind::failure);
  EXPECT_EQ(failure.description, "No migration in progress");
  // An error without a text still has a description to report.
  EXPECT_FALSE(parse(R"({"error":{"class":"GenericError"},"id":1})").description.empty());

  QmpMessage event = parse(R"({"event":"SHUTDOWN","data":{"guest":true}})");
  EXPECT_EQ(event.kind, QmpKind::event);
  EXPECT_EQ(event.name, "SHUTDOWN");
  EXPECT_EQ(parse(R"({"return":{},"id":"seven"})").id, std::nullopt);
}

TEST(SendQmp, PassesADescriptorWithTheTextAndFailsQuietlyOnAClosedPeer) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  test::TempDir dir;
  const std::string path = dir / "passed";
  test::writeFile(path, "");
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));

  ASSERT_TRUE(sendQmp(pair[0], "hello\n", file.get()).ok());

  char text[16] = {};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  iovec chunk{text, sizeof text};
  msghdr message{};
  message.msg_iov = &chunk;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ASSERT_EQ(::recvmsg(pair[1], &message, 0), 6);
  EXPECT_STREQ(text, "hello\n");
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  ASSERT_NE(header, nullptr);
  ASSERT_EQ(header->cmsg_type, SCM_RIGHTS);
  int received = -1;
  std::memcpy(&received, CMSG_DATA(header), sizeof received);
  // The received descriptor is the same open file: what it writes lands there.
  ASSERT_EQ(::write(received, "via fd", 6), 6);
  ::close(received);
  EXPECT_EQ(test::readFileOrEmpty(path), "via fd");

  ::close(pair[1]);
  // Without MSG_NOSIGNAL this would raise SIGPIPE and end the test binary.
  Status sent = sendQmp(pair[0], "anyone?\n");
  ::close(pair[0]);
  ASSERT_FALSE(sent.ok());
  EXPECT_THAT(sent.error().description, StartsWith("cannot talk to QEMU: "));
}

// A fresh identifier is a random version 4 UUID that round-trips; every damaged form is refused.
TEST(MachineUuid, RoundTripsAndRejectsEveryDamagedForm) {
  const MachineUuid uuid = randomMachineUuid();
  EXPECT_NE(uuid, randomMachineUuid());
  EXPECT_EQ(uuid[6] >> 4, 4);
  EXPECT_EQ(uuid[8] >> 6, 2);
  const std::string stored = encodeMachineUuid(uuid);
  EXPECT_THAT(stored, StartsWith("tovan-machine-id 1 " + uuidText(uuid) + " "));
  EXPECT_EQ(decodeMachineUuid(stored), uuid);

  std::string flipped = stored;
  flipped[20] = flipped[20] == '0' ? '1' : '0';  // one UUID digit: caught by the checksum
  std::string badChecksum = stored;
  badChecksum[badChecksum.size() - 2] = badChecksum[badChecksum.size() - 2] == 'a' ? 'b' : 'a';
  for (const std::string& damaged : {std::string(), stored.substr(0, stored.size() - 1),
                                     stored + "\n", "x" + stored, flipped, badChecksum}) {
    EXPECT_EQ(decodeMachineUuid(damaged), std::nullopt) << damaged;
  }
}

class QemuArguments : public testing::Test {
 protected:
  QemuArguments() {
    configuration.machineIdentifier.dataRepresentation =
        encodeMachineUuid({0xa6, 0x36, 0x15, 0xf4, 0xa9, 0x3f, 0x4f, 0x16, 0xaa, 0x6b, 0x30, 0x5e,
                           0xfe, 0x33, 0x14, 0x73});
    configuration.efiVariableStorePath = "json:{\"vars\"}";
    configuration.cpuCount = 2;
    configuration.memorySize = 512ull << 20;
    configuration.storageDevices = {
        {"vm:disk,1.img", DiskAccess::readWrite, DiskCaching::cached, DiskSynchronization::full},
        {"/m/seed.img", DiskAccess::readOnly, DiskCaching::automatic, DiskSynchronization::full}};
    configuration.networkDevices = {NetworkDevice{MacAddress{{0x52, 0x54, 0, 0xaa, 0xbb, 0xcc}}}};
    configuration.serialPorts = {SerialPort{nullptr, "/m/console.log"}};
    configuration.memoryBalloonDevices = 1;
  }

  QemuLaunch build(LaunchMode mode = LaunchMode::coldStart,
                   AcceleratorChoice accelerator = AcceleratorChoice{}) {
    auto built = buildQemuArguments("/usr/bin/qemu-system-x86_64", "/fw/CODE.fd", accelerator,
                                    configuration, mode);
    EXPECT_TRUE(built.ok());
    return built.ok() ? *built : QemuLaunch{};
  }

  // The value that follows `option` each time it appears.
  static std::vector<std::string> valuesOf(const std::vector<std::string>& argv,
                                           std::string_view option) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
      if (argv[i] == option) values.push_back(argv[i + 1]);
    }
    return values;
  }

  MachineConfiguration configuration;
};

// The identity a guest sees and the disks' modes follow the configuration, and QEMU never sees
// a path: every file travels as a descriptor in an fd set of its own, whatever its name holds.
TEST_F(QemuArguments, FollowTheConfigurationAndPassEveryFileAsADescriptor) {
  QemuLaunch launch = build();
  EXPECT_THAT(valuesOf(launch.argv, "-uuid"), ElementsAre("a63615f4-a93f-4f16-aa6b-305efe331473"));
  EXPECT_THAT(valuesOf(launch.argv, "-cpu"), ElementsAre("qemu64"));
  ASSERT_EQ(launch.files.size(), 4u);
  EXPECT_EQ(launch.files[0].path, "/fw/CODE.fd");
  EXPECT_EQ(launch.files[1].path, "json:{\"vars\"}");
  EXPECT_EQ(launch.files[2].path, "vm:disk,1.img");
  EXPECT_EQ(launch.files[3].access, DiskAccess::readOnly);
  EXPECT_THAT(valuesOf(launch.argv, "-add-fd"),
              ElementsAre("fd=4,set=1", "fd=5,set=2", "fd=6,set=3", "fd=7,set=4"));
  const std::vector<std::string> nodes = valuesOf(launch.argv, "-blockdev");
  for (const std::string& node : nodes) {
    EXPECT_THAT(node, Not(AnyOf(HasSubstr("vm:"), HasSubstr("json:"), HasSubstr("/m/"))));
  }
  EXPECT_THAT(nodes[4], HasSubstr("filename=/dev/fdset/3,cache.direct=off,cache.no-flush=off"));
  EXPECT_THAT(nodes[7], HasSubstr("disk1,file=disk1-file,read-only=on"));
  EXPECT_THAT(valuesOf(launch.argv, "-device"),
              testing::Contains("virtio-net-pci,netdev=net0,romfile=,mac=52:54:00:aa:bb:cc"));

  configuration.storageDevices[0].caching = DiskCaching::uncached;
  configuration.storageDevices[0].synchronization = DiskSynchronization::none;
  configuration.serialPorts.clear();
  launch = build(LaunchMode::coldStart, {Accelerator::kvm, "host,-arch-capabilities", ""});
  EXPECT_THAT(valuesOf(launch.argv, "-accel"), ElementsAre("kvm"));
  EXPECT_THAT(valuesOf(launch.argv, "-cpu"), ElementsAre("host,-arch-capabilities"));
  EXPECT_THAT(valuesOf(launch.argv, "-blockdev")[4],
              HasSubstr("cache.direct=on,cache.no-flush=on"));
  EXPECT_THAT(valuesOf(launch.argv, "-chardev"), ElementsAre("socket,id=qmp,fd=3"));

  // QEMU's messages name the fd sets; the parent reads the paths they stand for.
  EXPECT_EQ(withFilePaths("lock on [/dev/fdset/3], /dev/fdset/9 and /dev/fdset/", launch.files),
            "lock on [vm:disk,1.img], /dev/fdset/9 and /dev/fdset/");

  configuration.machineIdentifier.dataRepresentation = "not ours";
  EXPECT_FALSE(buildQemuArguments("/q", "/c", {}, configuration, LaunchMode::coldStart).ok());
}

TEST_F(QemuArguments, ARestoreRunsTheSameMachineWaitingForItsState) {
  // A saved state loads only into identical hardware: only the incoming switch may differ.
  auto cold = build(LaunchMode::coldStart).argv;
  auto incoming = build(LaunchMode::incoming).argv;
  ASSERT_EQ(incoming.size(), cold.size() + 2);
  EXPECT_TRUE(std::equal(cold.begin(), cold.end(), incoming.begin()));
  EXPECT_THAT(std::vector<std::string>(incoming.end() - 2, incoming.end()),
              ElementsAre("-incoming", "defer"));
}

// Each row: what the host and QEMU said, and what is decided (or asked next).
TEST(AcceleratorDecision, KvmOnlyWhereItCanRunAnOrdinaryGuest) {
  const std::string msrAbort =
      "error: failed to set MSR 0x10a to 0x69 kvm_buf_set_msrs: Assertion `ret == cpu->kvm_msr_buf"
      "->nmsrs' failed.";
  struct Row {
    AcceleratorReport report;
    std::string decided;  // "kvm <model>", "tcg: <reason>" or "try <model>"
  } rows[] = {
      {{ENOENT, {}, KvmTestOutcome::halted, "", {}},
       "tcg: cannot open /dev/kvm: No such file or directory"},
      {{EACCES, {"kvm", "kvm_intel"}, KvmTestOutcome::halted, "", {}},
       "tcg: cannot open /dev/kvm: Permission denied"},
      {{0, {"kvm", "kvm_pvm"}, KvmTestOutcome::halted, "", {}},
       "tcg: /dev/kvm is provided by kvm_pvm, a paravirtual KVM that cannot run an unmodified "
       "guest"},
      {{0, {"kvm", "kvm_amd"}, KvmTestOutcome::internalError, "internal error, suberror 1", {}},
       "tcg: KVM could not run a test guest (internal error, suberror 1)"},
      {{0, {"kvm", "kvm_intel"}, KvmTestOutcome::halted, "", {}}, "try host"},
      {{0, {}, KvmTestOutcome::halted, "", {""}}, "kvm host"},
      {{0, {"kvm", "kvm_intel"}, KvmTestOutcome::halted, "", {msrAbort}},
       "try host,-arch-capabilities"},
      {{0, {"kvm", "kvm_intel"}, KvmTestOutcome::halted, "", {msrAbort, ""}},
       "kvm host,-arch-capabilities"},
      {{0, {"kvm", "kvm_intel"}, KvmTestOutcome::halted, "", {msrAbort, msrAbort}},
       "tcg: QEMU cannot start a KVM guest here (" + msrAbort + ")"},
      {{0, {"kvm", "kvm_intel"}, KvmTestOutcome::halted, "", {"failed to set MSR 0x99 to 0x1"}},
       "tcg: QEMU cannot start a KVM guest here (failed to set MSR 0x99 to 0x1)"},
  };
  for (const Row& row : rows) {
    AcceleratorStep step = nextAcceleratorStep(row.report);
    std::string decided = "try " + step.tryCpuModel;
    if (step.choice && step.choice->accelerator == Accelerator::kvm) {
      decided = "kvm " + step.choice->cpuModel;
    } else if (step.choice) {
      decided = "tcg: " + step.choice->whyNotKvm;
      EXPECT_EQ(step.choice->cpuModel, "qemu64");
    }
    EXPECT_EQ(decided, row.decided);
  }
}

ProcessEnd exited(int status, std::string errorOutput) {
  return ProcessEnd{status << 8, std::move(errorOutput)};
}

TEST(DescribeProcessEnd, TellsQemusOwnReason) {
  // An image lock: QEMU's message and its hint line.
  EXPECT_EQ(describeProcessEnd(exited(
                1,
                "qemu-system-x86_64: -device virtio-blk-pci,drive=disk0: Failed to get \"write\" "
                "lock\r\nIs another process using the image [/m/disk.img]?\r\n")),
            "-device virtio-blk-pci,drive=disk0: Failed to get \"write\" lock Is another process "
            "using the image [/m/disk.img]?");
  // A failed load: both messages; warnings and their hints are no reason.
  EXPECT_EQ(describeProcessEnd(exited(1,
                                      "qemu-system-x86_64: warning: something odd\n"
                                      "a hint about it\n"
                                      "qemu-system-x86_64: Not a migration stream\n"
                                      "qemu-system-x86_64: load of migration failed: Invalid "
                                      "argument\n")),
            "Not a migration stream; load of migration failed: Invalid argument");
  // Text without QEMU's prefix, such as a failed exec, is kept as it is.
  EXPECT_EQ(describeProcessEnd(exited(127, "cannot execute /x: No such file or directory\n")),
            "cannot execute /x: No such file or directory");
  // Without QEMU's words: its status or signal, or what QMP last said.
  EXPECT_EQ(describeProcessEnd(exited(3, "")), "QEMU exited with status 3");
  EXPECT_EQ(describeProcessEnd(exited(1, "qemu-system-x86_64: warning: only this\n")),
            "QEMU exited with status 1");
  EXPECT_EQ(describeProcessEnd(exited(1, ""), "Unable to read from socket"),
            "Unable to read from socket");
  EXPECT_EQ(describeProcessEnd(ProcessEnd{SIGKILL, ""}), "QEMU was killed by signal 9 (Killed)");
}

// A directory laid out like a host's file system, for the install-path search.
class FakeRoot {
 public:
  void file(const std::string& path, std::size_t size, mode_t mode = 0644) {
    std::filesystem::create_directories(std::filesystem::path(dir_ / path.substr(1)).parent_path());
    test::writeFile(dir_ / path.substr(1), std::string(size, 'x'));
    ::chmod((dir_ / path.substr(1)).c_str(), mode);
  }
  std::string root() const { return dir_.path(); }

 private:
  test::TempDir dir_;
};

// Debian's paths come first, firmware pairs only within one flash size, a file that is not
// executable is no QEMU, and other distributions' layouts are found too.
TEST(FindQemuInstallation, PrefersDebiansPathsAndPairsFirmwareOfOneFlashSize) {
  FakeRoot host;
  host.file("/usr/bin/qemu-system-x86_64", 10, 0755);
  host.file("/usr/local/bin/qemu-system-x86_64", 10, 0755);
  host.file("/usr/share/OVMF/OVMF_CODE_4M.fd", 3653632);  // beside a 2M store: not a pair
  host.file("/usr/share/OVMF/OVMF_VARS_4M.fd", 131072);
  host.file("/usr/share/OVMF/OVMF_CODE.fd", 1966080);
  host.file("/usr/share/OVMF/OVMF_VARS.fd", 131072);
  auto found = findQemuInstallation(host.root());
  ASSERT_TRUE(found.ok()) << found.error().description;
  EXPECT_EQ(found->emulator, host.root() + "/usr/bin/qemu-system-x86_64");
  ASSERT_EQ(found->firmware.size(), 1u);
  EXPECT_EQ(found->firmware[0].code, host.root() + "/usr/share/OVMF/OVMF_CODE.fd");
  EXPECT_EQ(found->firmwareForStore(131072), &found->firmware[0]);
  EXPECT_EQ(found->firmwareForStore(540672), nullptr);

  FakeRoot other;
  other.file("/usr/bin/qemu-system-x86_64", 10, 0644);
  other.file("/usr/local/bin/qemu-system-x86_64", 10, 0755);
  other.file("/usr/share/edk2/x64/OVMF_CODE.4m.fd", 3653632);
  other.file("/usr/share/edk2/x64/OVMF_VARS.4m.fd", 540672);
  other.file("/usr/share/edk2/ovmf/OVMF_CODE.fd", 1966080);
  other.file("/usr/share/edk2/ovmf/OVMF_VARS.fd", 131072);
  found = findQemuInstallation(other.root());
  ASSERT_TRUE(found.ok()) << found.error().description;
  EXPECT_EQ(found->emulator, other.root() + "/usr/local/bin/qemu-system-x86_64");
  // Both builds are kept: a store made by either keeps working with its own code.
  ASSERT_EQ(found->firmware.size(), 2u);
  EXPECT_EQ(found->firmwareForStore(540672)->code,
            other.root() + "/usr/share/edk2/x64/OVMF_CODE.4m.fd");
  EXPECT_EQ(found->firmwareForStore(131072)->code,
            other.root() + "/usr/share/edk2/ovmf/OVMF_CODE.fd");
}

TEST(FindQemuInstallation, SaysWhereItLookedWhenSomethingIsMissing) {
  FakeRoot host;
  auto noQemu = findQemuInstallation(host.root());
  ASSERT_FALSE(noQemu.ok());
  EXPECT_THAT(noQemu.error().description,
              StartsWith("QEMU not found (looked for /usr/bin/qemu-system-x86_64, "
                         "/usr/local/bin/qemu-system-x86_64"));

  host.file("/usr/bin/qemu-system-x86_64", 10, 0755);
  auto noFirmware = findQemuInstallation(host.root());
  ASSERT_FALSE(noFirmware.ok());
  EXPECT_THAT(noFirmware.error().description,
              StartsWith("OVMF firmware not found (looked for /usr/share/OVMF/OVMF_CODE_4M.fd"));
}

}  // namespace
}  // namespace tovan
