#include "events/catalogue.h"

#include <string>

namespace tovan::catalogue {

namespace {

std::string join(std::string_view a, std::string_view b, std::string_view c = {}) {
  std::string text;
  text.reserve(a.size() + b.size() + c.size());
  text.append(a).append(b).append(c);
  return text;
}

}  // namespace

Event restoring() { return Event::state("restoring"); }
Event starting() { return Event::state("starting"); }
Event running() { return Event::state("running"); }
Event saving() { return Event::state("saving"); }
Event hibernated() { return Event::state("hibernated"); }
Event stopped() { return Event::state("stopped"); }

Event consoleLoggingDisabled(std::string_view consoleLogPath) {
  return Event::log(join("console logging disabled (cannot open ", consoleLogPath, ")"));
}
Event saveRestoreValidationFailed(std::string_view description) {
  return Event::log(join("save/restore validation: ", description, "; dropping memory balloon"));
}
Event restoreFailed(std::string_view description) {
  return Event::log(join("restore failed (", description, "); cold-booting"));
}
Event cannotHibernateNotRunning() { return Event::log("cannot hibernate: VM is not running"); }
Event pauseFailed(std::string_view description) {
  return Event::log(join("pause failed: ", description));
}
Event saveFailed(std::string_view description) {
  return Event::log(join("save failed: ", description));
}
Event finalizeSnapshotFailed(std::string_view description) {
  return Event::log(join("finalize snapshot failed: ", description));
}
Event hostShareSurvivedUnmount(std::string_view hostShareName) {
  return Event::log(join("host share /Volumes/", hostShareName,
                         " survived forced unmount \u2014 freezing anyway; the mount may hang the "
                         "host until the VM is woken or the Mac reboots"));
}
Event stopRequestedBeforeRunning() {
  return Event::log("stop requested before VM reached running state");
}
Event requestStopFailed(std::string_view description) {
  return Event::log(join("requestStop failed: ", description));
}
Event networkDetached(std::string_view description) {
  return Event::log(join("network detached: ", description));
}

Event softwareEmulation(std::string_view reason) {
  return Event::log(
      join("no hardware virtualization (", reason, "); the guest runs under software emulation"));
}

Event configurationError(std::string_view description) {
  return Event::error(join("configuration error: ", description));
}
Event startFailed(std::string_view description) {
  return Event::error(join("start failed: ", description));
}
Event resumeAfterRestoreFailed(std::string_view description) {
  return Event::error(join("resume after restore failed: ", description));
}
Event guestStoppedWithError(std::string_view description) {
  return Event::error(join("guest stopped with error: ", description));
}
Event hibernationRequiresNewerHost() { return Event::error("hibernation requires macOS 14+"); }
Event machineHeldElsewhere(std::string_view holder) {
  return Event::error(join("machine already running: ", holder));
}

}  // namespace tovan::catalogue
