#include "platform/qemu/accelerator.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kvm.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <regex>

#include "base/result.h"
#include "base/unique_fd.h"
#include "platform/qemu/firmware.h"
#include "platform/qemu/qemu_process.h"
#include "platform/qemu/qmp.h"

namespace tovan {

namespace {

// How many CPU models are tried before KVM is given up: each refusal masks one feature.
constexpr std::size_t kMostModelTries = 8;
// A QEMU that neither starts nor fails within this long is taken as unable to start.
constexpr auto kQemuStartPatience = std::chrono::seconds(20);

// The MSRs that QEMU programs for a CPU feature of the host model, and the feature that,
// masked, keeps QEMU from touching the MSR.
struct MsrFeature {
  std::uint32_t msr;
  const char* feature;
};
constexpr MsrFeature kMsrFeatures[] = {
    {0x10a, "arch-capabilities"},  // IA32_ARCH_CAPABILITIES
    {0x122, "tsx-ctrl"},           // IA32_TSX_CTRL
    {0x345, "pdcm"},               // IA32_PERF_CAPABILITIES
    {0x48, "spec-ctrl"},           // IA32_SPEC_CTRL
    {0x3a, "vmx"},                 // IA32_FEATURE_CONTROL
    {0x3b, "tsc-adjust"},          // IA32_TSC_ADJUST
    {0x6e0, "tsc-deadline"},       // IA32_TSC_DEADLINE
    {0x6e1, "pks"},                // IA32_PKRS
    {0xe1, "waitpkg"},             // IA32_UMWAIT_CONTROL
    {0xda0, "xsaves"},             // IA32_XSS
    {0x1c4, "xfd"},                // IA32_XFD
    {0x1c5, "xfd"},                // IA32_XFD_ERR
    {0x14ce, "arch-lbr"},          // IA32_ARCH_LBR_CTL
    {0x14cf, "arch-lbr"},          // IA32_ARCH_LBR_DEPTH
    {0x570, "intel-pt"},           // IA32_RTIT_CTL
    {0xc0000103, "rdtscp"},        // TSC_AUX
    {0xc0010117, "svm"},           // VM_HSAVE_PA
    {0x4b564d00, "kvmclock"},      // KVM paravirtual wall clock
    {0x4b564d01, "kvmclock"},      // KVM paravirtual system time
    {0x4b564d02, "kvm-asyncpf"},
    {0x4b564d03, "kvm-steal-time"},
    {0x4b564d04, "kvm-pv-eoi"},
    {0x4b564d05, "kvm-poll-control"},
    {0x4b564d06, "kvm-asyncpf-int"},
};

bool isVendorModule(const std::string& module) {
  return module == "kvm_intel" || module == "kvm_amd";
}

AcceleratorChoice tcg(std::string why) {
  return AcceleratorChoice{Accelerator::tcg, "qemu64", std::move(why)};
}

// The kvm modules this kernel has loaded (or built in, where they have parameters).
std::vector<std::string> kvmModules() {
  std::vector<std::string> found;
  DIR* modules = ::opendir("/sys/module");
  if (!modules) return found;
  while (dirent* entry = ::readdir(modules)) {
    const std::string name = entry->d_name;
    if (name == "kvm" || name.rfind("kvm_", 0) == 0) found.push_back(name);
  }
  ::closedir(modules);
  std::sort(found.begin(), found.end());
  return found;
}

// Runs a one-vCPU machine through the instructions that firmware starts with: real mode, the x87
// unit's initialisation (FWAIT; FNINIT), a port write and HLT. A KVM that runs ordinary guests
// executes them natively; one that cannot ends in an internal error.
KvmTestOutcome runKvmTest(int kvm, std::string& detail) {
  static constexpr unsigned char kCode[] = {
      0x9b, 0xdb, 0xe3,  // fwait; fninit
      0xb0, 0x42,        // mov al, 0x42
      0xe6, 0x80,        // out 0x80, al
      0xf4,              // hlt
  };
  constexpr std::size_t kMemory = 0x1000;
  auto fail = [&detail](const char* step) {
    detail = std::string(step) + ": " + std::strerror(errno);
    return KvmTestOutcome::failed;
  };

  UniqueFd vm(::ioctl(kvm, KVM_CREATE_VM, 0));
  if (!vm.valid()) return fail("KVM_CREATE_VM");
  void* memory =
      ::mmap(nullptr, kMemory, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return fail("mmap");
  struct Unmap {
    void* at;
    std::size_t size;
    ~Unmap() { ::munmap(at, size); }
  } unmapMemory{memory, kMemory};
  std::memcpy(memory, kCode, sizeof kCode);
  kvm_userspace_memory_region region{};
  region.memory_size = kMemory;
  region.userspace_addr = reinterpret_cast<std::uintptr_t>(memory);
  if (::ioctl(vm.get(), KVM_SET_USER_MEMORY_REGION, &region) != 0) {
    return fail("KVM_SET_USER_MEMORY_REGION");
  }
  UniqueFd vcpu(::ioctl(vm.get(), KVM_CREATE_VCPU, 0));
  if (!vcpu.valid()) return fail("KVM_CREATE_VCPU");
  const int runSize = ::ioctl(kvm, KVM_GET_VCPU_MMAP_SIZE, 0);
  if (runSize <= 0) return fail("KVM_GET_VCPU_MMAP_SIZE");
  void* shared = ::mmap(nullptr, static_cast<std::size_t>(runSize), PROT_READ | PROT_WRITE,
                        MAP_SHARED, vcpu.get(), 0);
  if (shared == MAP_FAILED) return fail("mmap vcpu");
  Unmap unmapRun{shared, static_cast<std::size_t>(runSize)};
  auto* run = static_cast<kvm_run*>(shared);

  kvm_sregs sregs{};
  if (::ioctl(vcpu.get(), KVM_GET_SREGS, &sregs) != 0) return fail("KVM_GET_SREGS");
  sregs.cs.base = 0;
  sregs.cs.selector = 0;
  if (::ioctl(vcpu.get(), KVM_SET_SREGS, &sregs) != 0) return fail("KVM_SET_SREGS");
  kvm_regs regs{};
  regs.rip = 0;
  regs.rflags = 0x2;
  if (::ioctl(vcpu.get(), KVM_SET_REGS, &regs) != 0) return fail("KVM_SET_REGS");

  for (int exits = 0; exits < 4; ++exits) {
    if (::ioctl(vcpu.get(), KVM_RUN, 0) != 0) {
      if (errno == EINTR) continue;
      return fail("KVM_RUN");
    }
    switch (run->exit_reason) {
      case KVM_EXIT_IO:
        continue;  // the port write
      case KVM_EXIT_HLT:
        return KvmTestOutcome::halted;
      case KVM_EXIT_INTERNAL_ERROR:
        detail = "internal error, suberror " + std::to_string(run->internal.suberror);
        return KvmTestOutcome::internalError;
      default:
        detail = "unexpected exit " + std::to_string(run->exit_reason);
        return KvmTestOutcome::internalError;
    }
  }
  detail = "the test machine did not halt";
  return KvmTestOutcome::internalError;
}

}  // namespace

// QEMU answers QMP only once its machine is set up, vCPUs included, which is where a refused
// MSR aborts it: the answer to the first command tells that the model starts.
std::string tryKvmCpuModel(const QemuInstallation& installation, const std::string& cpuModel) {
  const std::string qmp = "socket,id=qmp,fd=" + std::to_string(kQmpDescriptor);
  const std::vector<std::string> argv = {installation.emulator,
                                         "-nodefaults",
                                         "-no-user-config",
                                         "-display",
                                         "none",
                                         "-machine",
                                         "pc-q35-7.2",
                                         "-accel",
                                         "kvm",
                                         "-cpu",
                                         cpuModel,
                                         "-smp",
                                         "1",
                                         "-m",
                                         "64",
                                         "-chardev",
                                         qmp,
                                         "-mon",
                                         "chardev=qmp,mode=control",
                                         "-S"};
  struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    bool answered = false;
    std::optional<ProcessEnd> end;
  };
  auto outcome = std::make_shared<Outcome>();
  QemuProcess::Handlers handlers;
  handlers.message = [outcome](const nlohmann::json& object) {
    if (classifyQmpMessage(object).kind != QmpKind::success) return;
    std::lock_guard<std::mutex> guard(outcome->mutex);
    outcome->answered = true;
    outcome->changed.notify_all();
  };
  handlers.ended = [outcome](ProcessEnd end) {
    std::lock_guard<std::mutex> guard(outcome->mutex);
    outcome->end = std::move(end);
    outcome->changed.notify_all();
  };
  auto process = QemuProcess::launch(argv, -1, {}, std::move(handlers));
  if (!process) return process.error().description;
  (void)(*process)->send(qmpCommand("qmp_capabilities", 1));

  std::unique_lock<std::mutex> lock(outcome->mutex);
  const bool settled = outcome->changed.wait_for(
      lock, kQemuStartPatience, [&] { return outcome->answered || outcome->end.has_value(); });
  const bool answered = outcome->answered;
  std::optional<ProcessEnd> end = outcome->end;
  lock.unlock();
  process->reset();  // kills it and waits for its end
  if (answered) return {};
  if (!settled) {
    return "QEMU did not start within " + std::to_string(kQemuStartPatience.count()) + " seconds";
  }
  return describeProcessEnd(*end);
}

std::optional<std::string> featureOfRefusedMsr(std::string_view qemuText) {
  static const std::regex refused("failed to set MSR 0x([0-9a-fA-F]+)");
  std::match_results<std::string_view::const_iterator> match;
  if (!std::regex_search(qemuText.begin(), qemuText.end(), match, refused)) return std::nullopt;
  const unsigned long msr = std::stoul(match[1].str(), nullptr, 16);
  for (const MsrFeature& known : kMsrFeatures) {
    if (known.msr == msr) return known.feature;
  }
  return std::nullopt;
}

AcceleratorStep nextAcceleratorStep(const AcceleratorReport& report) {
  if (report.kvmOpenError != 0) {
    return {tcg(std::string("cannot open /dev/kvm: ") + std::strerror(report.kvmOpenError)), {}};
  }
  const bool hasVendorModule =
      std::any_of(report.modules.begin(), report.modules.end(), isVendorModule);
  if (!hasVendorModule) {
    for (const std::string& module : report.modules) {
      if (module == "kvm") continue;
      return {tcg("/dev/kvm is provided by " + module +
                  ", a paravirtual KVM that cannot run an unmodified guest"),
              {}};
    }
  }
  if (report.kvmTest != KvmTestOutcome::halted) {
    return {tcg("KVM could not run a test guest (" + report.kvmTestDetail + ")"), {}};
  }

  std::string model = "host";
  for (const std::string& refusal : report.modelRefusals) {
    if (refusal.empty()) return {AcceleratorChoice{Accelerator::kvm, model, {}}, {}};
    std::optional<std::string> feature = featureOfRefusedMsr(refusal);
    const std::string masked = feature ? ",-" + *feature : std::string();
    if (!feature || model.find(masked) != std::string::npos ||
        report.modelRefusals.size() >= kMostModelTries) {
      return {tcg("QEMU cannot start a KVM guest here (" + refusal + ")"), {}};
    }
    model += masked;
  }
  return {std::nullopt, model};
}

AcceleratorChoice probeAccelerator(const QemuInstallation& installation,
                                   const std::string& kvmDevice) {
  AcceleratorReport report;
  UniqueFd kvm(::open(kvmDevice.c_str(), O_RDWR | O_CLOEXEC));
  if (!kvm.valid()) report.kvmOpenError = errno;
  if (kvm.valid()) {
    report.modules = kvmModules();
    report.kvmTest = runKvmTest(kvm.get(), report.kvmTestDetail);
  }
  for (;;) {
    AcceleratorStep step = nextAcceleratorStep(report);
    if (step.choice) return *step.choice;
    report.modelRefusals.push_back(tryKvmCpuModel(installation, step.tryCpuModel));
  }
}

}  // namespace tovan
