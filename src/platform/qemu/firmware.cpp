#include "platform/qemu/firmware.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string_view>

namespace tovan {

namespace {

constexpr std::array<std::string_view, 3> kEmulators = {
    "/usr/bin/qemu-system-x86_64",
    "/usr/local/bin/qemu-system-x86_64",
    "/bin/qemu-system-x86_64",
};

struct FirmwarePaths {
  std::string_view code;
  std::string_view vars;
};

// Plain (not secure-boot) builds only: those need SMM and a different machine set-up.
constexpr std::array<FirmwarePaths, 11> kFirmwarePairs = {{
    // Debian and Ubuntu.
    {"/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"},
    {"/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"},
    // QEMU's own install, from a distribution or built into /usr/local.
    {"/usr/share/qemu/edk2-x86_64-code.fd", "/usr/share/qemu/edk2-i386-vars.fd"},
    {"/usr/local/share/qemu/edk2-x86_64-code.fd", "/usr/local/share/qemu/edk2-i386-vars.fd"},
    {"/usr/local/share/OVMF/OVMF_CODE_4M.fd", "/usr/local/share/OVMF/OVMF_VARS_4M.fd"},
    {"/usr/local/share/OVMF/OVMF_CODE.fd", "/usr/local/share/OVMF/OVMF_VARS.fd"},
    // Fedora, RHEL and Arch.
    {"/usr/share/edk2/ovmf/OVMF_CODE.fd", "/usr/share/edk2/ovmf/OVMF_VARS.fd"},
    {"/usr/share/edk2/x64/OVMF_CODE.4m.fd", "/usr/share/edk2/x64/OVMF_VARS.4m.fd"},
    {"/usr/share/edk2-ovmf/x64/OVMF_CODE.fd", "/usr/share/edk2-ovmf/x64/OVMF_VARS.fd"},
    // openSUSE.
    {"/usr/share/qemu/ovmf-x86_64-4m-code.bin", "/usr/share/qemu/ovmf-x86_64-4m-vars.bin"},
    {"/usr/share/qemu/ovmf-x86_64-code.bin", "/usr/share/qemu/ovmf-x86_64-vars.bin"},
}};

constexpr std::uint64_t kMiB = 1 << 20;

bool isExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The size of a readable regular file, or 0.
std::uint64_t readableFileSize(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  if (::access(path.c_str(), R_OK) != 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

std::string joinPaths(const std::string& root, std::string_view path) {
  return root + std::string(path);
}

}  // namespace

Result<QemuInstallation> findQemuInstallation(const std::string& root) {
  QemuInstallation found;
  std::string looked;
  for (std::string_view candidate : kEmulators) {
    std::string path = joinPaths(root, candidate);
    if (isExecutableFile(path)) {
      found.emulator = std::move(path);
      break;
    }
    looked += looked.empty() ? "" : ", ";
    looked += candidate;
  }
  if (found.emulator.empty()) return Error{"QEMU not found (looked for " + looked + ")"};

  looked.clear();
  for (const FirmwarePaths& pair : kFirmwarePairs) {
    std::string code = joinPaths(root, pair.code);
    std::string vars = joinPaths(root, pair.vars);
    const std::uint64_t codeSize = readableFileSize(code);
    const std::uint64_t varsSize = readableFileSize(vars);
    // The two halves of one flash device: together 2 MiB or 4 MiB. A pair of different builds
    // leaves QEMU with a flash layout the firmware does not expect.
    const std::uint64_t flash = codeSize + varsSize;
    if (codeSize > 0 && varsSize > 0 && (flash == 2 * kMiB || flash == 4 * kMiB)) {
      found.firmware.push_back({std::move(code), std::move(vars), varsSize});
    } else {
      looked += looked.empty() ? "" : ", ";
      looked += pair.code;
    }
  }
  if (!found.firmware.empty()) return found;
  return Error{"OVMF firmware not found (looked for " + looked + " with their variable stores)"};
}

const FirmwarePair* QemuInstallation::firmwareForStore(std::uint64_t storeSize) const {
  for (const FirmwarePair& pair : firmware) {
    if (pair.varsSize == storeSize) return &pair;
  }
  return nullptr;
}

}  // namespace tovan
