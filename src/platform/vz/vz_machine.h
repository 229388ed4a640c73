// One VZVirtualMachine behind the helper's Machine interface. Objective-C++ (ARC) only.
//
// The machine lives on the dispatch queue behind the helper's SerialQueue: it is created there,
// every call is made there, and the framework delivers every completion handler and delegate
// callback there, so a completion is called directly from the framework's handler.
#pragma once

#import <Virtualization/Virtualization.h>

#include <optional>
#include <string>

#include "platform/platform.h"

@class TovanVzMachineDelegate;

namespace tovan {

class VzMachine final : public Machine {
 public:
  // Makes the VZVirtualMachine on `queue`'s dispatch queue. Call on that queue. `machine` keeps
  // open the descriptors that `configuration`'s console handles borrow.
  VzMachine(VZVirtualMachineConfiguration* configuration, MachineConfiguration machine,
            SerialQueue& queue);
  // A machine whose configuration could not be made: every operation fails with `failure`.
  VzMachine(Error failure, MachineConfiguration machine, SerialQueue& queue);

  void setDelegate(MachineDelegate* delegate) override;
  void start(Completion done) override;
  // macOS 14 on Apple silicon; elsewhere it fails, through `done` on the queue.
  void restoreMachineState(const std::string& path, Completion done) override;
  void resume(Completion done) override;
  void pause(Completion done) override;
  // macOS 14 on Apple silicon; elsewhere it fails, through `done` on the queue.
  void saveMachineState(const std::string& path, Completion done) override;
  bool canPause() const override;
  bool canRequestStop() const override;
  Status requestStop() override;

 private:
  // Delivers `error` to `done` as a work item of its own on the machine's queue, as the framework
  // delivers its completions.
  void failLater(Completion done, Error error);
  // Makes `call` on the machine with a completion handler that reports to `done`; a machine that
  // could not be made fails `done` with its reason instead.
  void operate(Completion done, void (^call)(VZVirtualMachine* vm, void (^handler)(NSError*)));

  MachineConfiguration machine_;
  SerialQueue& queue_;
  std::optional<Error> failure_;  // set when there is no VZVirtualMachine
  VZVirtualMachine* vm_ = nil;
  // Held here: the framework's delegate property is weak.
  TovanVzMachineDelegate* delegate_ = nil;
};

}  // namespace tovan
