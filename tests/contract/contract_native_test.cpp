// The file contract over the simulated machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/file_contract.h"

TEST(FileContract, SimulatedMachineBehavesAsWindows) {
  SimReset();
  std::vector<uint8_t> data(kContractDataBytes);
  for (uint32_t i = 0; i < kContractDataBytes; ++i) data[i] = ContractDataByte(i);
  const std::wstring dir = L"X:\\contract";
  SimPutFile(dir + L"\\" + kContractDataFile, data);
  SimPutFile(dir + L"\\" + kContractEmptyFile, {});

  int passed = 0;
  EXPECT_EQ(RunFileContract(dir.c_str(), &passed), 0);
  EXPECT_GT(passed, 0);
  EXPECT_EQ(SimOpenHandles(), 0);
}
