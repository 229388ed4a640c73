// The subset of Apple's Virtualization framework that the vz backend uses, declared by this
// project for the Linux compile gate (scripts/check-macos.sh) only; a Mac build uses the SDK.
//
// Every declaration is written from Apple's public documentation. Each class names its page under
// https://developer.apple.com/documentation/virtualization/ and each member its Objective-C
// symbol there. The attributes are the real ones, so that the gate rejects what a Mac would:
// unavailable initializers, typed enums, macOS 14 members outside @available, the Apple-silicon
// only members, nullability and block parameter types.
#pragma once

#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <stdint.h>

#ifndef API_AVAILABLE
// API_AVAILABLE(macos(14.0)) becomes __attribute__((availability(macos, introduced = 14.0))), which
// the Darwin target enforces as Apple's own macro does.
#define TOVAN_GATE_AVAILABILITY_macos(version) macos, introduced = version
#define API_AVAILABLE(platform) __attribute__((availability(TOVAN_GATE_AVAILABILITY_##platform)))
#endif

#define TOVAN_GATE_UNAVAILABLE __attribute__((unavailable))

NS_ASSUME_NONNULL_BEGIN

// vzgenericmachineidentifier: VZGenericMachineIdentifier (macOS 13).
API_AVAILABLE(macos(13.0))
@interface VZGenericMachineIdentifier : NSObject
// -init: a new, unique identifier.
- (instancetype)init NS_DESIGNATED_INITIALIZER;
// -initWithDataRepresentation: nil when the bytes are not an identifier's.
- (nullable instancetype)initWithDataRepresentation:(NSData*)dataRepresentation;
// dataRepresentation: the bytes to store and pass to -initWithDataRepresentation: later.
@property(readonly, copy) NSData* dataRepresentation;
@end

// vzplatformconfiguration: VZPlatformConfiguration (macOS 12), abstract.
API_AVAILABLE(macos(12.0))
@interface VZPlatformConfiguration : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vzgenericplatformconfiguration: VZGenericPlatformConfiguration (macOS 12).
API_AVAILABLE(macos(12.0))
@interface VZGenericPlatformConfiguration : VZPlatformConfiguration
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
// machineIdentifier (macOS 13)
@property(copy) VZGenericMachineIdentifier* machineIdentifier API_AVAILABLE(macos(13.0));
@end

// Abstract base classes (VZBootLoader, VZStorageDeviceAttachment and the like) make `init` and
// `new` unavailable, as do classes that need arguments to exist (VZVirtualMachine).

// vzbootloader: VZBootLoader, abstract.
@interface VZBootLoader : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vzefivariablestore/initializationoptions: VZEFIVariableStoreInitializationOptions, NS_OPTIONS
// of NSUInteger (in C++ a plain NSUInteger with its constants).
typedef NSUInteger VZEFIVariableStoreInitializationOptions;
enum : NSUInteger {
  // VZEFIVariableStoreInitializationOptionAllowOverwrite
  VZEFIVariableStoreInitializationOptionAllowOverwrite = 1 << 0,
};

// vzefivariablestore: VZEFIVariableStore (macOS 13).
API_AVAILABLE(macos(13.0))
@interface VZEFIVariableStore : NSObject
// -initWithURL: an existing store; neither fails nor reports an error here.
- (instancetype)initWithURL:(NSURL*)URL NS_DESIGNATED_INITIALIZER;
// -initCreatingVariableStoreAtURL:options:error:
- (nullable instancetype)initCreatingVariableStoreAtURL:(NSURL*)URL
                                                options:
                                                    (VZEFIVariableStoreInitializationOptions)options
                                                  error:(NSError**)error;
@end

// vzefibootloader: VZEFIBootLoader (macOS 13).
API_AVAILABLE(macos(13.0))
@interface VZEFIBootLoader : VZBootLoader
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
// variableStore
@property(nullable, strong) VZEFIVariableStore* variableStore;
@end

// vzdiskimagecachingmode: VZDiskImageCachingMode (macOS 12), NS_ENUM of NSInteger.
typedef enum VZDiskImageCachingMode : NSInteger {
  VZDiskImageCachingModeAutomatic = 0,
  VZDiskImageCachingModeUncached = 1,
  VZDiskImageCachingModeCached = 2,
} VZDiskImageCachingMode API_AVAILABLE(macos(12.0));

// vzdiskimagesynchronizationmode: VZDiskImageSynchronizationMode (macOS 12), NS_ENUM of NSInteger.
typedef enum VZDiskImageSynchronizationMode : NSInteger {
  VZDiskImageSynchronizationModeFull = 1,
  VZDiskImageSynchronizationModeFsync = 2,
  VZDiskImageSynchronizationModeNone = 3,
} VZDiskImageSynchronizationMode API_AVAILABLE(macos(12.0));

// vzstoragedeviceattachment: VZStorageDeviceAttachment, abstract.
@interface VZStorageDeviceAttachment : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vzdiskimagestoragedeviceattachment: VZDiskImageStorageDeviceAttachment.
@interface VZDiskImageStorageDeviceAttachment : VZStorageDeviceAttachment
// -initWithURL:readOnly:error: with the framework's default caching and synchronization.
- (nullable instancetype)initWithURL:(NSURL*)url readOnly:(BOOL)readOnly error:(NSError**)error;
// -initWithURL:readOnly:cachingMode:synchronizationMode:error: (macOS 12)
- (nullable instancetype)initWithURL:(NSURL*)url
                            readOnly:(BOOL)readOnly
                         cachingMode:(VZDiskImageCachingMode)cachingMode
                 synchronizationMode:(VZDiskImageSynchronizationMode)synchronizationMode
                               error:(NSError**)error NS_DESIGNATED_INITIALIZER
    API_AVAILABLE(macos(12.0));
@end

// vzstoragedeviceconfiguration: VZStorageDeviceConfiguration, abstract.
@interface VZStorageDeviceConfiguration : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vzvirtioblockdeviceconfiguration: VZVirtioBlockDeviceConfiguration.
@interface VZVirtioBlockDeviceConfiguration : VZStorageDeviceConfiguration
// -initWithAttachment:
- (instancetype)initWithAttachment:(VZStorageDeviceAttachment*)attachment NS_DESIGNATED_INITIALIZER;
@end

// vzmacaddress: VZMACAddress.
@interface VZMACAddress : NSObject
// -initWithString: nil when the text is not a MAC address.
- (nullable instancetype)initWithString:(NSString*)string;
// string: "xx:xx:xx:xx:xx:xx", lower case.
@property(readonly, copy) NSString* string;
@end

// vznetworkdeviceattachment: VZNetworkDeviceAttachment, abstract.
@interface VZNetworkDeviceAttachment : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vznatnetworkdeviceattachment: VZNATNetworkDeviceAttachment.
@interface VZNATNetworkDeviceAttachment : VZNetworkDeviceAttachment
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
@end

// vznetworkdeviceconfiguration: VZNetworkDeviceConfiguration, abstract.
@interface VZNetworkDeviceConfiguration : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
// MACAddress
@property(copy) VZMACAddress* MACAddress;
// attachment
@property(nullable, strong) VZNetworkDeviceAttachment* attachment;
@end

// vzvirtionetworkdeviceconfiguration: VZVirtioNetworkDeviceConfiguration.
@interface VZVirtioNetworkDeviceConfiguration : VZNetworkDeviceConfiguration
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
@end

// vzserialportattachment: VZSerialPortAttachment, abstract.
@interface VZSerialPortAttachment : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vzfilehandleserialportattachment: VZFileHandleSerialPortAttachment.
@interface VZFileHandleSerialPortAttachment : VZSerialPortAttachment
// -initWithFileHandleForReading:fileHandleForWriting:
- (instancetype)initWithFileHandleForReading:(nullable NSFileHandle*)fileHandleForReading
                        fileHandleForWriting:(nullable NSFileHandle*)fileHandleForWriting
    NS_DESIGNATED_INITIALIZER;
@end

// vzserialportconfiguration: VZSerialPortConfiguration, abstract.
@interface VZSerialPortConfiguration : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
// attachment
@property(nullable, strong) VZSerialPortAttachment* attachment;
@end

// vzvirtioconsoledeviceserialportconfiguration: VZVirtioConsoleDeviceSerialPortConfiguration.
@interface VZVirtioConsoleDeviceSerialPortConfiguration : VZSerialPortConfiguration
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
@end

// vzentropydeviceconfiguration: VZEntropyDeviceConfiguration, abstract.
@interface VZEntropyDeviceConfiguration : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vzvirtioentropydeviceconfiguration: VZVirtioEntropyDeviceConfiguration.
@interface VZVirtioEntropyDeviceConfiguration : VZEntropyDeviceConfiguration
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
@end

// vzmemoryballoondeviceconfiguration: VZMemoryBalloonDeviceConfiguration, abstract.
@interface VZMemoryBalloonDeviceConfiguration : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
@end

// vzvirtiotraditionalmemoryballoondeviceconfiguration:
// VZVirtioTraditionalMemoryBalloonDeviceConfiguration.
@interface VZVirtioTraditionalMemoryBalloonDeviceConfiguration : VZMemoryBalloonDeviceConfiguration
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
@end

// vzvirtualmachineconfiguration: VZVirtualMachineConfiguration.
@interface VZVirtualMachineConfiguration : NSObject <NSCopying>
// -init
- (instancetype)init NS_DESIGNATED_INITIALIZER;
// bootLoader
@property(nullable, strong) VZBootLoader* bootLoader;
// memorySize, in bytes.
@property uint64_t memorySize;
// CPUCount
@property NSUInteger CPUCount;
// platform (macOS 12)
@property(strong) VZPlatformConfiguration* platform API_AVAILABLE(macos(12.0));
// storageDevices
@property(copy) NSArray<VZStorageDeviceConfiguration*>* storageDevices;
// networkDevices
@property(copy) NSArray<VZNetworkDeviceConfiguration*>* networkDevices;
// serialPorts
@property(copy) NSArray<VZSerialPortConfiguration*>* serialPorts;
// entropyDevices
@property(copy) NSArray<VZEntropyDeviceConfiguration*>* entropyDevices;
// memoryBalloonDevices
@property(copy) NSArray<VZMemoryBalloonDeviceConfiguration*>* memoryBalloonDevices;
// -validateWithError:
- (BOOL)validateWithError:(NSError**)error;
#if defined(__arm64__)
// -validateSaveRestoreSupportWithError: (macOS 14, Apple silicon)
- (BOOL)validateSaveRestoreSupportWithError:(NSError**)error API_AVAILABLE(macos(14.0));
#endif
// +minimumAllowedMemorySize
@property(class, readonly) uint64_t minimumAllowedMemorySize;
// +maximumAllowedMemorySize
@property(class, readonly) uint64_t maximumAllowedMemorySize;
// +minimumAllowedCPUCount
@property(class, readonly) NSUInteger minimumAllowedCPUCount;
// +maximumAllowedCPUCount
@property(class, readonly) NSUInteger maximumAllowedCPUCount;
@end

// vznetworkdevice: VZNetworkDevice (macOS 12), the running machine's network device.
API_AVAILABLE(macos(12.0))
@interface VZNetworkDevice : NSObject
@end

@class VZVirtualMachine;

// vzvirtualmachinedelegate: VZVirtualMachineDelegate; every method is optional.
@protocol VZVirtualMachineDelegate <NSObject>
@optional
// -guestDidStopVirtualMachine:
- (void)guestDidStopVirtualMachine:(VZVirtualMachine*)virtualMachine;
// -virtualMachine:didStopWithError:
- (void)virtualMachine:(VZVirtualMachine*)virtualMachine didStopWithError:(NSError*)error;
// -virtualMachine:networkDevice:attachmentWasDisconnectedWithError: (macOS 12)
- (void)virtualMachine:(VZVirtualMachine*)virtualMachine
                         networkDevice:(VZNetworkDevice*)networkDevice
    attachmentWasDisconnectedWithError:(NSError*)error API_AVAILABLE(macos(12.0));
@end

// vzvirtualmachine: VZVirtualMachine. Created on a serial queue; every call, completion handler
// and delegate callback happens on that queue.
@interface VZVirtualMachine : NSObject
+ (instancetype)new TOVAN_GATE_UNAVAILABLE;
- (instancetype)init TOVAN_GATE_UNAVAILABLE;
// -initWithConfiguration:queue:
- (instancetype)initWithConfiguration:(VZVirtualMachineConfiguration*)configuration
                                queue:(dispatch_queue_t)queue NS_DESIGNATED_INITIALIZER;
// delegate: weak, so its owner keeps it alive.
@property(nullable, weak) id<VZVirtualMachineDelegate> delegate;
// canStart
@property(readonly) BOOL canStart;
// canPause
@property(readonly) BOOL canPause;
// canResume
@property(readonly) BOOL canResume;
// canRequestStop
@property(readonly) BOOL canRequestStop;
// -startWithCompletionHandler:
- (void)startWithCompletionHandler:(void (^)(NSError* _Nullable errorOrNil))completionHandler;
// -pauseWithCompletionHandler:
- (void)pauseWithCompletionHandler:(void (^)(NSError* _Nullable errorOrNil))completionHandler;
// -resumeWithCompletionHandler:
- (void)resumeWithCompletionHandler:(void (^)(NSError* _Nullable errorOrNil))completionHandler;
// -requestStopWithError:
- (BOOL)requestStopWithError:(NSError**)error;
#if defined(__arm64__)
// -saveMachineStateToURL:completionHandler: (macOS 14, Apple silicon)
- (void)saveMachineStateToURL:(NSURL*)saveFileURL
            completionHandler:(void (^)(NSError* _Nullable errorOrNil))completionHandler
    API_AVAILABLE(macos(14.0));
// -restoreMachineStateFromURL:completionHandler: (macOS 14, Apple silicon)
- (void)restoreMachineStateFromURL:(NSURL*)saveFileURL
                 completionHandler:(void (^)(NSError* _Nullable errorOrNil))completionHandler
    API_AVAILABLE(macos(14.0));
#endif
@end

NS_ASSUME_NONNULL_END
