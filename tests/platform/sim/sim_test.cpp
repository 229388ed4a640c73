// The simulated platform under the machine contract. (Its identifiers show in the
// buildConfiguration tests, its timed events and state files in the run scenarios.)
#include "platform/machine_contract.h"
#include "platform/sim/sim_platform.h"

namespace tovan::test {
namespace {

class SimMachines final : public MachineUnderTest {
 public:
  Platform& platform() override { return platform_; }
  std::string diskImage(Ending ending) const override {
    return ending == Ending::fromOutside ? "error-after 0 the host failed\n" : "";
  }
  void endFromOutside(const TempDir&) override {}  // its script has ended it once it ran
  std::string refusal(const std::string& operation, const std::string& state) const override {
    return "cannot " + operation + " the machine while it is " + state;
  }

 private:
  SimPlatform platform_;
};

std::unique_ptr<MachineUnderTest> simMachines() { return std::make_unique<SimMachines>(); }

INSTANTIATE_TEST_SUITE_P(Sim, MachineContract,
                         testing::Values(MachineFactory{"sim", &simMachines}));

}  // namespace
}  // namespace tovan::test
