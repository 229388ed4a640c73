// How QEMU runs the guest on this host: under KVM with the host's CPU model (less the features
// this KVM refuses), or under TCG, QEMU's own emulator, where KVM cannot run an ordinary guest.
//
// The choice is made once per process from what the host and QEMU report, the same way on every
// run on a host, so that a state saved on a host restores there. Gathering the report is the
// only impure part (probeAccelerator); the decision itself is nextAcceleratorStep.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovan {

struct QemuInstallation;

enum class Accelerator { kvm, tcg };

struct AcceleratorChoice {
  Accelerator accelerator = Accelerator::tcg;
  std::string cpuModel = "qemu64";  // QEMU's -cpu value
  std::string whyNotKvm;            // under TCG: the reason, for the parent's log
};

// What a KVM test machine (one vCPU, a few real-mode instructions, among them the x87
// initialisation that firmware runs first) did when it ran.
enum class KvmTestOutcome {
  halted,         // it ran to its end: KVM runs unmodified guests
  internalError,  // KVM could not execute it (a paravirtual KVM does this)
  failed,         // KVM refused to create or run it
};

// What the host and QEMU said, in the order they were asked.
struct AcceleratorReport {
  int kvmOpenError = 0;              // errno of opening /dev/kvm read-write; 0 when it opened
  std::vector<std::string> modules;  // the kvm modules loaded ("kvm", "kvm_intel", "kvm_pvm"...)
  KvmTestOutcome kvmTest = KvmTestOutcome::halted;
  std::string kvmTestDetail;  // what went wrong, in KVM's terms
  // QEMU's answer to starting each CPU model that nextAcceleratorStep asked for, in order:
  // empty when it started, else its own account of why it could not.
  std::vector<std::string> modelRefusals;
};

struct AcceleratorStep {
  std::optional<AcceleratorChoice> choice;  // the decision, once there is one
  std::string tryCpuModel;                  // otherwise: the CPU model QEMU must try next
};

// The decision, or what to ask QEMU next. Pure.
AcceleratorStep nextAcceleratorStep(const AcceleratorReport& report);

// The CPU feature whose MSR QEMU reports it could not set ("failed to set MSR 0x10a to 0x69"
// gives "arch-capabilities"); absent when the text names no MSR this knows.
std::optional<std::string> featureOfRefusedMsr(std::string_view qemuText);

// Starts QEMU from `installation` paused under KVM with `cpuModel` and ends it as soon as it
// greets: empty when it started, else QEMU's own account of why not.
std::string tryKvmCpuModel(const QemuInstallation& installation, const std::string& cpuModel);

// Asks this host: /dev/kvm, the kvm modules, a KVM test machine, then QEMU (from
// `installation`) for each CPU model the decision wants to try. Runs QEMU only when KVM can run
// a guest at all. Must run on a thread that lives as long as the process (QEMU children die
// with the thread that started them).
AcceleratorChoice probeAccelerator(const QemuInstallation& installation,
                                   const std::string& kvmDevice = "/dev/kvm");

}  // namespace tovan
