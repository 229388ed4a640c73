#include "platform/vz/vz_machine.h"

#include <utility>

#include "platform/vz/vz_configuration.h"
#include "platform/vz/vz_foundation.h"

// Forwards the framework's delegate callbacks to the helper's MachineDelegate, on the machine's
// queue where the framework calls it. None of them looks at the machine or device arguments.
@interface TovanVzMachineDelegate : NSObject <VZVirtualMachineDelegate>
@property(nonatomic, assign) tovan::MachineDelegate* machineDelegate;
@end

@implementation TovanVzMachineDelegate

- (void)guestDidStopVirtualMachine:(VZVirtualMachine*)virtualMachine {
  if (self.machineDelegate != nullptr) self.machineDelegate->guestDidStop();
}

- (void)virtualMachine:(VZVirtualMachine*)virtualMachine didStopWithError:(NSError*)error {
  if (self.machineDelegate != nullptr) {
    self.machineDelegate->didStopWithError(tovan::errorFrom(error));
  }
}

- (void)virtualMachine:(VZVirtualMachine*)virtualMachine
                         networkDevice:(VZNetworkDevice*)networkDevice
    attachmentWasDisconnectedWithError:(NSError*)error {
  if (self.machineDelegate != nullptr) {
    self.machineDelegate->networkAttachmentWasDisconnected(tovan::errorFrom(error));
  }
}

@end

namespace tovan {

VzMachine::VzMachine(VZVirtualMachineConfiguration* configuration, MachineConfiguration machine,
                     SerialQueue& queue)
    : machine_(std::move(machine)),
      queue_(queue),
      delegate_([[TovanVzMachineDelegate alloc] init]) {
  @autoreleasepool {
    vm_ = [[VZVirtualMachine alloc]
        initWithConfiguration:configuration
                        queue:(__bridge dispatch_queue_t)queue.dispatchQueue()];
    vm_.delegate = delegate_;
  }
}

VzMachine::VzMachine(Error failure, MachineConfiguration machine, SerialQueue& queue)
    : machine_(std::move(machine)), queue_(queue), failure_(std::move(failure)) {}

void VzMachine::setDelegate(MachineDelegate* delegate) { delegate_.machineDelegate = delegate; }

void VzMachine::operate(Completion done,
                        void (^call)(VZVirtualMachine* vm, void (^handler)(NSError*))) {
  if (vm_ == nil) {
    failLater(std::move(done), *failure_);
    return;
  }
  @autoreleasepool {
    call(vm_, ^(NSError* _Nullable error) {
      done(outcomeOf(error));
    });
  }
}

void VzMachine::start(Completion done) {
  operate(std::move(done), ^(VZVirtualMachine* vm, void (^handler)(NSError*)) {
    [vm startWithCompletionHandler:handler];
  });
}

void VzMachine::restoreMachineState([[maybe_unused]] const std::string& path, Completion done) {
#if defined(__arm64__)
  if (@available(macOS 14, *)) {
    operate(std::move(done), ^(VZVirtualMachine* vm, void (^handler)(NSError*)) {
      [vm restoreMachineStateFromURL:fileUrl(path) completionHandler:handler];
    });
    return;
  }
#endif
  failLater(std::move(done), vm_ == nil ? *failure_ : Error{std::string(kSaveRestoreUnsupported)});
}

void VzMachine::resume(Completion done) {
  operate(std::move(done), ^(VZVirtualMachine* vm, void (^handler)(NSError*)) {
    [vm resumeWithCompletionHandler:handler];
  });
}

void VzMachine::pause(Completion done) {
  operate(std::move(done), ^(VZVirtualMachine* vm, void (^handler)(NSError*)) {
    [vm pauseWithCompletionHandler:handler];
  });
}

void VzMachine::saveMachineState([[maybe_unused]] const std::string& path, Completion done) {
#if defined(__arm64__)
  if (@available(macOS 14, *)) {
    operate(std::move(done), ^(VZVirtualMachine* vm, void (^handler)(NSError*)) {
      [vm saveMachineStateToURL:fileUrl(path) completionHandler:handler];
    });
    return;
  }
#endif
  failLater(std::move(done), vm_ == nil ? *failure_ : Error{std::string(kSaveRestoreUnsupported)});
}

bool VzMachine::canPause() const { return vm_.canPause; }

bool VzMachine::canRequestStop() const { return vm_.canRequestStop; }

Status VzMachine::requestStop() {
  if (vm_ == nil) return *failure_;
  @autoreleasepool {
    NSError* error = nil;
    if (![vm_ requestStopWithError:&error]) return errorFrom(error);
  }
  return {};
}

void VzMachine::failLater(Completion done, Error error) {
  queue_.async([done = std::move(done), error = std::move(error)] { done(error); });
}

}  // namespace tovan
