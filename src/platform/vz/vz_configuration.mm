#include "platform/vz/vz_configuration.h"

#include <algorithm>

#include "base/files.h"
#include "platform/vz/vz_foundation.h"

namespace tovan {

namespace {

bool usesFrameworkDefaults(const StorageDevice& device) {
  return device.access == DiskAccess::readOnly && device.caching == DiskCaching::automatic &&
         device.synchronization == DiskSynchronization::full;
}

}  // namespace

VZDiskImageCachingMode cachingModeOf(DiskCaching caching) {
  switch (caching) {
    case DiskCaching::automatic:
      return VZDiskImageCachingModeAutomatic;
    case DiskCaching::cached:
      return VZDiskImageCachingModeCached;
    case DiskCaching::uncached:
      return VZDiskImageCachingModeUncached;
  }
  return VZDiskImageCachingModeAutomatic;
}

VZDiskImageSynchronizationMode synchronizationModeOf(DiskSynchronization synchronization) {
  switch (synchronization) {
    case DiskSynchronization::full:
      return VZDiskImageSynchronizationModeFull;
    case DiskSynchronization::fsync:
      return VZDiskImageSynchronizationModeFsync;
    case DiskSynchronization::none:
      return VZDiskImageSynchronizationModeNone;
  }
  return VZDiskImageSynchronizationModeFull;
}

Result<VZDiskImageStorageDeviceAttachment*> diskImageAttachment(
    const std::string& path, DiskAccess access, DiskCaching caching,
    DiskSynchronization synchronization) {
  NSError* error = nil;
  VZDiskImageStorageDeviceAttachment* attachment = [[VZDiskImageStorageDeviceAttachment alloc]
              initWithURL:fileUrl(path)
                 readOnly:access == DiskAccess::readOnly ? YES : NO
              cachingMode:cachingModeOf(caching)
      synchronizationMode:synchronizationModeOf(synchronization)
                    error:&error];
  if (attachment == nil) return errorFrom(error);
  return attachment;
}

Result<VZDiskImageStorageDeviceAttachment*> diskImageAttachment(const std::string& path,
                                                                DiskAccess access) {
  NSError* error = nil;
  VZDiskImageStorageDeviceAttachment* attachment = [[VZDiskImageStorageDeviceAttachment alloc]
      initWithURL:fileUrl(path)
         readOnly:access == DiskAccess::readOnly ? YES : NO
            error:&error];
  if (attachment == nil) return errorFrom(error);
  return attachment;
}

Result<VZVirtualMachineConfiguration*> makeVirtualMachineConfiguration(
    const MachineConfiguration& machine) {
  VZVirtualMachineConfiguration* configuration = [[VZVirtualMachineConfiguration alloc] init];

  VZGenericPlatformConfiguration* platform = [[VZGenericPlatformConfiguration alloc] init];
  const std::string& bytes = machine.machineIdentifier.dataRepresentation;
  VZGenericMachineIdentifier* identifier = [[VZGenericMachineIdentifier alloc]
      initWithDataRepresentation:[NSData dataWithBytes:bytes.data() length:bytes.size()]];
  if (identifier == nil) {
    return Error{"the machine identifier was not made by this host's Virtualization framework"};
  }
  platform.machineIdentifier = identifier;
  configuration.platform = platform;

  // The store exists by now: the builder created it when it was missing.
  VZEFIBootLoader* bootLoader = [[VZEFIBootLoader alloc] init];
  bootLoader.variableStore =
      [[VZEFIVariableStore alloc] initWithURL:fileUrl(machine.efiVariableStorePath)];
  configuration.bootLoader = bootLoader;

  configuration.CPUCount = static_cast<NSUInteger>(std::max<std::int64_t>(machine.cpuCount, 0));
  configuration.memorySize = machine.memorySize;

  NSMutableArray<VZStorageDeviceConfiguration*>* storageDevices = [NSMutableArray array];
  for (const StorageDevice& device : machine.storageDevices) {
    Result<VZDiskImageStorageDeviceAttachment*> attachment =
        usesFrameworkDefaults(device) ? diskImageAttachment(device.path, device.access)
                                      : diskImageAttachment(device.path, device.access,
                                                            device.caching, device.synchronization);
    if (!attachment) return attachment.error();
    [storageDevices
        addObject:[[VZVirtioBlockDeviceConfiguration alloc] initWithAttachment:*attachment]];
  }
  configuration.storageDevices = storageDevices;

  NSMutableArray<VZNetworkDeviceConfiguration*>* networkDevices = [NSMutableArray array];
  for (const NetworkDevice& device : machine.networkDevices) {
    VZVirtioNetworkDeviceConfiguration* network = [[VZVirtioNetworkDeviceConfiguration alloc] init];
    network.attachment = [[VZNATNetworkDeviceAttachment alloc] init];
    if (device.macAddress) {
      NSString* text = utf8String(device.macAddress->toString());
      VZMACAddress* address = text != nil ? [[VZMACAddress alloc] initWithString:text] : nil;
      if (address != nil) network.MACAddress = address;
    }
    [networkDevices addObject:network];
  }
  configuration.networkDevices = networkDevices;

  NSMutableArray<VZSerialPortConfiguration*>* serialPorts = [NSMutableArray array];
  for (const SerialPort& port : machine.serialPorts) {
    if (!port.log || !port.log->valid()) {
      return Error{"the console log " + quotedPath(port.logPath) + " is not open"};
    }
    // The descriptor stays the configuration's: the handle does not close it.
    NSFileHandle* log = [[NSFileHandle alloc] initWithFileDescriptor:port.log->get()
                                                      closeOnDealloc:NO];
    VZVirtioConsoleDeviceSerialPortConfiguration* console =
        [[VZVirtioConsoleDeviceSerialPortConfiguration alloc] init];
    console.attachment =
        [[VZFileHandleSerialPortAttachment alloc] initWithFileHandleForReading:nil
                                                          fileHandleForWriting:log];
    [serialPorts addObject:console];
  }
  configuration.serialPorts = serialPorts;

  NSMutableArray<VZEntropyDeviceConfiguration*>* entropyDevices = [NSMutableArray array];
  for (int i = 0; i < machine.entropyDevices; ++i) {
    [entropyDevices addObject:[[VZVirtioEntropyDeviceConfiguration alloc] init]];
  }
  configuration.entropyDevices = entropyDevices;

  NSMutableArray<VZMemoryBalloonDeviceConfiguration*>* balloons = [NSMutableArray array];
  for (int i = 0; i < machine.memoryBalloonDevices; ++i) {
    [balloons addObject:[[VZVirtioTraditionalMemoryBalloonDeviceConfiguration alloc] init]];
  }
  configuration.memoryBalloonDevices = balloons;

  return configuration;
}

}  // namespace tovan
