// The saved state's header: a block this helper wrote reads back as it was written, and any other
// block is refused with its reason, never trusted and never a crash.
#include "platform/saved_state.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tovan::test {
namespace {

std::uint64_t checksumOf(std::string_view bytes) {
  StreamChecksum checksum;
  checksum.add(bytes.data(), bytes.size());
  return checksum.value();
}

TEST(SavedStateFormat, ReadsBackWhatWasWrittenAndRefusesEveryOtherBlock) {
  EXPECT_EQ(checksumOf(""), 0xef46db3751d8e999u);  // XXH64's own test vectors
  EXPECT_EQ(checksumOf("abc"), 0x44bc2cf5ad770999u);

  const SavedStateHeader header{{{"qemu", "7.2.22"}}, {{"cpuCount", 2}}, {1, 2, 3, -4}, 5, 6};
  const std::string block = encodeSavedStateHeader(header);
  ASSERT_EQ(block.size(), kSavedStateHeaderSize);
  Result<SavedStateHeader> read = decodeSavedStateHeader(block);
  ASSERT_TRUE(read.ok()) << read.error().description;
  EXPECT_EQ(
      std::tie(read->platform, read->machine, read->disk, read->streamLength, read->streamChecksum),
      std::tie(header.platform, header.machine, header.disk, header.streamLength,
               header.streamChecksum));

  // A block of this helper's shape around `json`, its checksum right.
  auto around = [](const std::string& json) {
    char checksum[17];
    std::snprintf(checksum, sizeof checksum, "%016llx",
                  static_cast<unsigned long long>(checksumOf(json)));
    return "tovan-vmhelper saved state\n" + json + "\n" + checksum + "\n";
  };
  const std::string disk = R"({"device":1,"inode":2,"size":3,"modifiedNs":4})";
  // Every field of a header, with its stream length, disk and checksum as given.
  auto with = [&](const std::string& length, const std::string& onDisk,
                  const std::string& sum = "00000000000000ff") {
    return around(R"({"format":1,"streamLength":)" + length + R"(,"platform":{},"machine":{},)" +
                  R"("disk":)" + onDisk + R"(,"streamChecksum":")" + sum + "\"}");
  };
  std::string flipped = block;
  flipped[40] ^= 1;
  const std::pair<std::string, std::vector<std::string>> refused[] = {
      {"saved state is not in this helper's format", {"", "tovan-sim machine state 1\n"}},
      {"saved state is in another format of this helper's",
       {around(R"({"format":2})"), around(R"({"format":"1"})"), around("[1]")}},
      {"saved state is damaged (unreadable header)",
       {flipped, block.substr(0, 60), with("\"5\"", disk), with("-5", disk), with("5", "[]"),
        with("5", disk, "xyz")}}};
  for (const auto& [reason, blocks] : refused) {
    for (const std::string& bytes : blocks) {
      Result<SavedStateHeader> decoded = decodeSavedStateHeader(bytes);
      ASSERT_FALSE(decoded.ok()) << bytes;
      EXPECT_EQ(decoded.error().description, reason) << bytes;
      EXPECT_TRUE(decoded.error().savedStateAtFault);
    }
  }
  EXPECT_TRUE(decodeSavedStateHeader(with("5", disk)).ok());
}

}  // namespace
}  // namespace tovan::test
