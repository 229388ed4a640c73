// QEMU machines: the machine contract with this host's QEMU on a blank disk (the firmware finds
// nothing to boot and waits, which is all the operations need), and a fake host's stand-in QEMU.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/machine_contract.h"
#include "platform/qemu/accelerator.h"
#include "platform/qemu/qemu_platform.h"
#include "support/qemu.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;

class QemuMachines final : public MachineUnderTest {
 public:
  explicit QemuMachines(QemuHost host) : platform_(std::move(host)) {}
  Platform& platform() override { return platform_; }
  std::string diskImage(Ending) const override { return std::string(1 << 20, '\0'); }
  void endFromOutside(const TempDir& dir) override {
    for (pid_t qemu : qemuProcessesWith(dir.path())) ::kill(qemu, SIGKILL);
  }
  std::string refusal(const std::string& operation, const std::string& state) const override {
    const bool inFlight = state != "stopped" && state != "running" && state != "paused";
    return inFlight ? "another operation on the machine is in progress"
           : operation == "start" || operation == "restore" ? "the machine is already running"
           : operation == "pause"                           ? "the machine is not running"
                                                            : "the machine is not paused";
  }

 private:
  QemuPlatform platform_;
};

std::unique_ptr<MachineUnderTest> hostQemu() {
  QemuHost host = QemuHost::detect();
  if (!host.installation) {
    throw std::runtime_error(describe(host.installation) + " (run scripts/install-deps.sh)");
  }
  return std::make_unique<QemuMachines>(std::move(host));
}

INSTANTIATE_TEST_SUITE_P(Qemu, MachineContract, testing::Values(MachineFactory{"qemu", &hostQemu}));

class QemuMachineTest : public MachineTest {
 protected:
  QemuMachineTest() : MachineTest(hostQemu()) {}
};

// A machine runs a QEMU of its own, ends it with itself, and after a QEMU ended from outside (told
// in QEMU's words) starts a new one. Its saved state is private. (A disk in use shows end to end.)
TEST_F(QemuMachineTest, EachMachineRunsAQemuOfItsOwnAndItsEndIsToldInQemusWords) {
  const std::string state = dir_ / "state";
  Machine& vm = create();
  EXPECT_THAT(inTurn(vm, {"start", "pause", "save " + state, "resume"}),
              testing::Each(testing::EndsWith(": ok")));
  struct stat info {};
  EXPECT_EQ(::stat(state.c_str(), &info) + (info.st_mode & 0777), 0600u);
  const std::vector<pid_t> running = qemuProcessesWith(dir_.path());
  ASSERT_EQ(running.size(), 1u);

  ASSERT_EQ(::kill(running[0], SIGTERM), 0);
  const std::string why = "terminating on signal 15 from pid " + std::to_string(::getpid());
  EXPECT_THAT(await(1), ElementsAre(testing::StartsWith("stopped with error: " + why)));
  EXPECT_EQ(abilities(vm), "- -");
  EXPECT_THAT(together(vm, {"start"}), ElementsAre("start: ok"));
  EXPECT_EQ(qemuProcessesWith(dir_.path()).size(), 1u);
  destroy(vm);
  EXPECT_THAT(awaitNoQemuWith(dir_.path()), testing::IsEmpty());
}

// A host whose installation is made up: a real variable-store template, and /bin/false as QEMU.
class FakeQemuTest : public MachineTest {
 protected:
  FakeQemuTest() : MachineTest(nullptr) {
    writeFile(dir_ / "VARS.fd", kTemplate);
    writeFile(dir_ / "CODE.fd", "");
    // Installation, CPUs, memory, accelerator, start and reply deadlines.
    host_ = {QemuInstallation{"/bin/false", {{dir_ / "CODE.fd", dir_ / "VARS.fd", 4099}}},
             4,
             std::uint64_t{8} << 30,
             AcceleratorChoice{},
             {10, 2}};
    backend_ = std::make_unique<QemuMachines>(host_);
  }

  // A stand-in for QEMU that speaks just enough QMP on descriptor 3: it answers every command,
  // and after `cont` does what `afterCont` says (shell, replies on 3).
  Result<QemuInstallation> standIn(const std::string& name, const std::string& afterCont) {
    writeFile(dir_ / name, R"(#!/bin/sh
printf '{"QMP":{"version":{},"capabilities":[]}}\n' >&3
while IFS= read -r line <&3; do
  id=$(printf '%s' "$line" | sed -n 's/.*"id":\([0-9]*\).*/\1/p')
  case "$line" in
    *'"query-status"'*) printf '{"return":{"status":"internal-error"},"id":%s}\n' "$id" >&3 ;;
    *'"cont"'*) )" + afterCont +
                               R"( ;;
    *) printf '{"return":{},"id":%s}\n' "$id" >&3 ;;
  esac
done
)");
    ::chmod((dir_ / name).c_str(), 0755);
    return QemuInstallation{dir_ / name, host_.installation->firmware};
  }

  const std::string kTemplate = std::string(4096, 'v') + "end";
  QemuHost host_;
};

// A store is a copy of the template; one of the wrong size is refused.
TEST_F(FakeQemuTest, PlatformChecksNeverOverwriteAStoreAndFailInQemusWords) {
  Platform& platform = backend_->platform();
  const std::string store = dir_ / "machine.vars";
  ASSERT_EQ(describe(platform.createEfiVariableStore(store)), "ok");
  EXPECT_EQ(readFileOrEmpty(store), kTemplate);
  writeFile(store, "the guest's own variables");
  EXPECT_EQ(describe(platform.createEfiVariableStore(store)),
            "cannot create \"" + store + "\": File exists");
  EXPECT_EQ(readFileOrEmpty(store), "the guest's own variables");

  EXPECT_EQ(describe(platform.attachDiskImage(dir_.path(), DiskAccess::readOnly)),
            "Could not open '" + dir_.path() + "': Is a directory");
  const MachineConfiguration machine = configure(dir_);
  EXPECT_EQ(describe(platform.validate(machine)), "ok");
  writeFile(dir_ / "efi.vars", "");  // emptied behind the helper's back
  EXPECT_EQ(describe(platform.validate(machine)),
            "the EFI variable store \"" + (dir_ / "efi.vars") +
                "\" holds 0 bytes, where the firmware expects 4099");
}

// Each row: the QEMU a start runs, and what the machine reports. A guest that QEMU stops by itself
// ends the machine, told with QEMU's run state and first words.
TEST_F(FakeQemuTest, AStartFailsOrTheMachineEndsInWordsThatSayWhy) {
  const struct {
    Result<QemuInstallation> installation;
    std::vector<std::string> reports;
  } rows[] = {
      {host_.installation, {"start: QEMU exited with status 1"}},
      {standIn("silent", ":"), {"start: QEMU did not answer \"cont\" within 2 seconds"}},
      {standIn("stopping", R"(printf '{"return":{},"id":%s}\n{"event":"RESUME"}\n' "$id" >&3
        echo 'KVM internal error. Suberror: 1' >&2; echo 'extra data[0]: 0x1' >&2
        sleep 0.2; printf '{"event":"STOP"}\n' >&3)"),
       {"start: ok", "stopped with error: internal-error: KVM internal error. Suberror: 1"}},
  };
  for (const auto& row : rows) {
    QemuHost host = host_;
    host.installation = row.installation;
    QemuPlatform platform(host);
    Machine& vm = create(configure(dir_), &platform);
    EXPECT_THAT(together(vm, {"start"}, row.reports.size()),
                testing::ElementsAreArray(row.reports));
    EXPECT_EQ(abilities(vm), "- -");
    destroy(vm);
  }
}

}  // namespace
}  // namespace tovan::test
