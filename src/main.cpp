// Entry point: ignores the termination signals, answers `help` and `version`, checks the command
// line, reads the configuration and hands it to the `validate` or `run` driver.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "base/version.h"
#include "config/helper_config.h"
#include "lifecycle/run_driver.h"
#include "machine/validate.h"

namespace tovan {
namespace {

std::string buildHelpText() {
  std::string text = "tovan-vmhelper ";
  text += helperVersion;
  text +=
      " \u2014 Tovan VM helper for macOS (Apple Virtualization)\n"
      "\n"
      "This is plumbing: the Tovan app spawns it (one process per local VM) and\n"
      "drives it over stdin/stdout NDJSON. It is not meant to manage VMs by itself \u2014\n"
      "a VM's lifecycle, snapshots, and login keys are owned by the app, so manage\n"
      "local VMs from the Tovan app or with its headless CLI:\n"
      "\n"
      "  tovan-gui vm list\n"
      "  tovan-gui vm create <name> [--host <server>]\n"
      "  tovan-gui vm start|stop <name>\n"
      "\n"
      "(On a Linux VM host, the Linux build of this helper has the management CLI\n"
      "itself: `tovan-vmhelper list|start|stop|\u2026` \u2014 run `tovan-vmhelper help` there.)\n"
      "\n"
      "PLUMBING COMMANDS (invoked by the Tovan app):\n"
      "  run       --config <helper.json>   Boot the VM, stream NDJSON events\n"
      "  validate  --config <helper.json>   Check the config without booting\n"
      "  help                               Show this help\n"
      "  version                            Print the helper version";
  return text;
}

[[noreturn]] void printAndExit(std::string_view text, int status) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  std::_Exit(status);
}

[[noreturn]] void failAndExit(std::string message) {
  message += '\n';
  (void)writeAll(STDERR_FILENO, message);
  std::_Exit(2);
}

}  // namespace
}  // namespace tovan

int main(int argc, char** argv) {
  using namespace tovan;
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_IGN);

  const std::string helpText = buildHelpText();
  const std::vector<std::string_view> arguments(argv, argv + argc);

  if (arguments.size() < 2) failAndExit(helpText);
  const std::string_view word = arguments[1];
  if (word == "version" || word == "--version" || word == "-V") printAndExit(helperVersion, 0);
  if (word == "help" || word == "--help" || word == "-h") printAndExit(helpText, 0);
  if (arguments.size() < 4 || (word != "run" && word != "validate") || arguments[2] != "--config") {
    failAndExit(helpText);
  }
  const std::string subcommand(word);
  const std::string configPath(arguments[3]);

  Result<HelperConfig> config = readHelperConfig(configPath);
  if (!config) failAndExit("failed to read config: " + config.error().description);

  if (subcommand == "validate") validateAndExit(*config);
  runVM(*config);
}
