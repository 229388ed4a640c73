#include "platform/machine_contract.h"

namespace tovan::test {

using testing::ElementsAre;
using testing::StartsWith;

// A machine's life. Asked out of turn or while another is in flight, an operation fails later, on
// the queue, and changes nothing; the one in flight completes as if nothing had been asked. The
// saved state of a paused machine restores in a new machine, paused until resumed. Failed saves
// and restores leave the machine as it was. Ending a machine is no news for its delegate.
TEST_P(MachineContract, OperationsOutOfTurnFailOnTheQueueAndAStateRestoresInANewMachine) {
  const std::string state = dir_ / "state", save = "save " + state, restore = "restore " + state;
  auto refused = [&](const std::vector<std::string>& calls, const std::string& during) {
    std::vector<std::string> reports;
    for (const std::string& call : calls) {
      const std::string operation = call.substr(0, call.find(' '));
      reports.push_back(operation + ": " + backend_->refusal(operation, during));
    }
    return reports;
  };
  auto refusedWhile = [&](Machine& vm, const std::string& during, std::vector<std::string> calls) {
    EXPECT_EQ(together(vm, calls), refused(calls, during));
  };
  auto whileInFlight = [&](Machine& vm, const std::string& first, const std::string& during) {
    const std::vector<std::string> all = {"start", restore, "resume", "pause", save};
    std::vector<std::string> calls = all, expected = refused(all, during);
    calls.insert(calls.begin(), first);
    expected.push_back(first.substr(0, first.find(' ')) + ": ok");
    EXPECT_THAT(together(vm, calls), testing::UnorderedElementsAreArray(expected)) << during;
  };
  auto failsWith = [](const std::string& operation, const std::string& path) {
    return AllOf(StartsWith(operation + ": "),
                 testing::HasSubstr("\"" + path + "\": No such file or directory"));
  };
  Machine& vm = create();
  EXPECT_EQ(abilities(vm), "- -");
  refusedWhile(vm, "stopped", {"pause", "resume", save});
  whileInFlight(vm, "start", "starting");
  EXPECT_EQ(abilities(vm), "canPause canRequestStop");
  refusedWhile(vm, "running", {"start", restore, "resume", save});
  EXPECT_FALSE(fileExists(state));
  EXPECT_EQ(abilities(vm), "canPause canRequestStop");
  whileInFlight(vm, "pause", "pausing");
  EXPECT_EQ(abilities(vm), "- -");
  refusedWhile(vm, "paused", {"start", restore, "pause"});
  EXPECT_THAT(together(vm, {"save " + (dir_ / "no/dir")}),
              ElementsAre(failsWith("save", dir_ / "no/dir")));
  whileInFlight(vm, save, "saving");
  whileInFlight(vm, "resume", "resuming");
  EXPECT_EQ(abilities(vm), "canPause canRequestStop");
  destroy(vm);

  Machine& restored = create();
  writeFile(dir_ / "garbage", "this is not a saved machine\n");
  EXPECT_THAT(inTurn(restored, {"restore " + (dir_ / "missing"), "restore " + (dir_ / "garbage")}),
              ElementsAre(failsWith("restore", dir_ / "missing"),
                          AllOf(StartsWith("restore: "), testing::Ne("restore: ok"))));
  whileInFlight(restored, restore, "restoring");
  EXPECT_EQ(abilities(restored), "- -");
  EXPECT_THAT(together(restored, {"resume"}), ElementsAre("resume: ok"));
  EXPECT_EQ(abilities(restored), "canPause canRequestStop");
}

// A machine ended from outside while an operation is in flight: the operation completes first,
// then the delegate hears of the end.
TEST_P(MachineContract, TheDelegateHearsOfAnEndAfterTheCompletionInFlight) {
  writeFile(dir_ / "disk.img", backend_->diskImage(Ending::fromOutside));
  Machine& vm = create();
  queue_.async([&] {
    call(vm, "start", [&] {
      backend_->endFromOutside(dir_);  // its end reaches the queue only after this work item
      call(vm, "pause");
    });
  });
  EXPECT_THAT(await(3),
              ElementsAre("start: ok", StartsWith("pause: "), StartsWith("stopped with error: ")));
  EXPECT_EQ(abilities(vm), "- -");
}

}  // namespace tovan::test
