// Every text the helper sends as an event, in one place. Callers pass the platform's or the
// file system's description; the fixed English wording lives only here.
#pragma once

#include <string_view>

#include "events/event.h"

namespace tovan::catalogue {

// States.
Event restoring();
Event starting();
Event running();
Event saving();
Event hibernated();
Event stopped();

// Logs: the machine goes on.
Event consoleLoggingDisabled(std::string_view consoleLogPath);
Event saveRestoreValidationFailed(std::string_view description);
Event restoreFailed(std::string_view description);
Event cannotHibernateNotRunning();
Event pauseFailed(std::string_view description);
Event saveFailed(std::string_view description);
Event finalizeSnapshotFailed(std::string_view description);
Event hostShareSurvivedUnmount(std::string_view hostShareName);
Event stopRequestedBeforeRunning();
Event requestStopFailed(std::string_view description);
Event networkDetached(std::string_view description);
Event softwareEmulation(std::string_view reason);

// Errors: all but hibernationRequiresNewerHost end the process.
Event configurationError(std::string_view description);
Event startFailed(std::string_view description);
Event resumeAfterRestoreFailed(std::string_view description);
Event guestStoppedWithError(std::string_view description);
Event hibernationRequiresNewerHost();
Event machineHeldElsewhere(std::string_view holder);

}  // namespace tovan::catalogue
