// The simulated drive's DOWNLOAD MICROCODE and the simulated image format, driven directly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/drive.h"
#include "sim/image_format.h"

namespace {

constexpr uint32_t kBlock = 512;

// --- Image format ------------------------------------------------------------------------

TEST(SimImage, RoundTrip) {
  for (uint32_t size : {32u, 33u, 512u, 1000u, 1048576u}) {
    const auto image = sim::make_image(size, "SIM2.00");
    ASSERT_EQ(image.size(), size);
    const auto info = sim::parse_image(image.data(), image.size());
    ASSERT_TRUE(info.has_value()) << size;
    EXPECT_EQ(info->length, size);
    EXPECT_EQ(info->revision, "SIM2.00");
    EXPECT_TRUE(info->complete);
    EXPECT_TRUE(info->valid);
  }
}

TEST(SimImage, DamageIsSeen) {
  const auto image = sim::make_image(4096, "R2");
  struct Case {
    const char* name;
    size_t size;  // bytes handed to parse
    size_t flip;  // byte to change (size: none)
    bool parses, complete, valid;
  };
  const Case cases[] = {
      {"whole", 4096, 4096, true, true, true},
      {"payload_byte", 4096, 3000, true, true, false},
      {"revision_byte", 4096, 12, true, true, false},
      {"checksum_byte", 4096, 21, true, true, false},
      {"magic_byte", 4096, 0, false, false, false},
      {"truncated", 4095, 4096, true, false, false},
      {"header_only", 32, 4096, true, false, false},
      {"shorter_than_header", 31, 4096, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = image;
    if (c.flip < bytes.size()) bytes[c.flip] ^= 0x01;
    const auto info = sim::parse_image(bytes.data(), c.size);
    ASSERT_EQ(info.has_value(), c.parses);
    if (!info) continue;
    EXPECT_EQ(info->complete, c.complete);
    EXPECT_EQ(info->valid, c.valid);
  }
}

TEST(SimImage, PaddingAfterTheImageIsIgnored) {
  auto image = sim::make_image(1000, "SIM3.00");
  image.resize(1024, 0);
  const auto info = sim::parse_image(image.data(), image.size());
  ASSERT_TRUE(info.has_value());
  EXPECT_TRUE(info->valid);
  EXPECT_EQ(info->length, 1000u);
}

// --- DOWNLOAD MICROCODE ------------------------------------------------------------------

InputRegisters download(uint8_t mode, uint32_t blocks, uint32_t offset) {
  InputRegisters tf{};
  tf.command = 0x92;
  tf.features_7_0 = mode;
  tf.count_7_0 = static_cast<uint8_t>(blocks);
  tf.lba_7_0 = static_cast<uint8_t>(blocks >> 8);
  tf.lba_15_8 = static_cast<uint8_t>(offset);
  tf.lba_23_16 = static_cast<uint8_t>(offset >> 8);
  tf.device = kAtaDeviceLba;
  return tf;
}

std::vector<uint8_t> padded(std::vector<uint8_t> bytes) {
  bytes.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, 0);
  return bytes;
}

// The drive's answer to one command, the bytes it moved in `moved` when a test asks.
OutputRegisters execute(sim::Drive& drive, const InputRegisters& in, sim::DataDir dir,
                        uint8_t* data, uint32_t length, uint32_t* moved = nullptr) {
  uint32_t n = 0;
  const OutputRegisters out = sim::execute_ata(drive, in, dir, data, length, n);
  if (moved != nullptr) *moved = n;
  return out;
}

bool ok(const OutputRegisters& out) { return out.status == kAtaStatusReady; }

// Sends `image` (padded to whole blocks) in segments of `segment` blocks; returns the
// result of each command.
std::vector<bool> send_segments(sim::Drive& drive, uint8_t mode, const std::vector<uint8_t>& image,
                                uint32_t segment) {
  const auto bytes = padded(image);
  const uint32_t total = static_cast<uint32_t>(bytes.size() / kBlock);
  std::vector<bool> results;
  for (uint32_t at = 0; at < total; at += segment) {
    const uint32_t n = std::min(segment, total - at);
    results.push_back(ok(execute(drive, download(mode, n, at), sim::DataDir::Out,
                                 const_cast<uint8_t*>(bytes.data() + at * kBlock), n * kBlock)));
  }
  return results;
}

TEST(SimDownload, ImmediateTakesAWholeImage) {
  sim::Drive drive;
  const auto image = sim::make_image(100000, "SIM2.00");
  auto bytes = padded(image);
  const uint32_t blocks = static_cast<uint32_t>(bytes.size() / kBlock);
  uint32_t moved = 0;
  const auto out = execute(drive, download(0x07, blocks, 0), sim::DataDir::Out, bytes.data(),
                           blocks * kBlock, &moved);
  EXPECT_TRUE(ok(out));
  EXPECT_EQ(moved, blocks * kBlock);
  EXPECT_EQ(drive.firmware, "SIM2.00");
  EXPECT_EQ(drive.last_image, image);
  EXPECT_EQ(drive.download_commands, 1);
}

struct BadTransfer {
  const char* name;
  uint8_t mode;
  uint32_t blocks;
  uint32_t length;
  sim::DataDir dir;
};

TEST(SimDownload, StrictAboutLengthsAndDirection) {
  const auto image = padded(sim::make_image(8 * kBlock, "SIM2.00"));
  const BadTransfer cases[] = {
      {"immediate_short_of_count", 0x07, 8, 8 * kBlock - 24, sim::DataDir::Out},
      {"immediate_count_zero", 0x07, 0, 8 * kBlock, sim::DataDir::Out},
      {"immediate_no_data", 0x07, 8, 0, sim::DataDir::None},
      {"segment_partial_block", 0x03, 8, 8 * kBlock - 1, sim::DataDir::Out},
      {"segment_count_zero", 0x03, 0, 488, sim::DataDir::Out},
      {"deferred_data_in", 0x0E, 8, 8 * kBlock, sim::DataDir::In},
      {"unknown_mode", 0x01, 8, 8 * kBlock, sim::DataDir::Out},
  };
  for (const BadTransfer& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Drive drive;
    auto bytes = image;
    const auto out = execute(drive, download(c.mode, c.blocks, 0), c.dir,
                             c.dir == sim::DataDir::None ? nullptr : bytes.data(), c.length);
    EXPECT_EQ(out.status, kAtaStatusAborted);
    EXPECT_EQ(out.error, kAtaErrorAbort);
    EXPECT_EQ(drive.firmware, "SIM1.00");
    EXPECT_TRUE(drive.last_image.empty());
  }
}

TEST(SimDownload, SegmentedSwitchesAtTheLastSegment) {
  for (uint8_t mode : {uint8_t{0x03}, uint8_t{0x0E}}) {
    sim::Drive drive;
    const auto image = sim::make_image(10 * kBlock + 100, "SIM2.00");
    const auto results = send_segments(drive, mode, image, 4);
    EXPECT_EQ(results, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(drive.last_image, image);
    EXPECT_TRUE(drive.assembly.empty());
    if (mode == 0x03) {
      EXPECT_EQ(drive.firmware, "SIM2.00");
      EXPECT_FALSE(drive.pending_ready);
    } else {
      EXPECT_EQ(drive.firmware, "SIM1.00");
      EXPECT_TRUE(drive.pending_ready);
      EXPECT_EQ(drive.pending_revision, "SIM2.00");
      EXPECT_TRUE(ok(execute(drive, download(0x0F, 0, 0), sim::DataDir::None, nullptr, 0)));
      EXPECT_EQ(drive.firmware, "SIM2.00");
      EXPECT_FALSE(drive.pending_ready);
      // Nothing left to activate.
      EXPECT_FALSE(ok(execute(drive, download(0x0F, 0, 0), sim::DataDir::None, nullptr, 0)));
    }
  }
}

TEST(SimDownload, OffsetsMustFollowEachOther) {
  const auto image = padded(sim::make_image(12 * kBlock, "SIM2.00"));
  struct Step {
    uint8_t mode;
    uint32_t blocks, offset;
    bool accepted;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"gap", {{0x03, 4, 0, true}, {0x03, 4, 8, false}}},
      {"repeat", {{0x03, 4, 0, true}, {0x03, 4, 0, true}, {0x03, 4, 4, true}, {0x03, 4, 4, false}}},
      {"not_from_zero", {{0x03, 4, 4, false}}},
      {"mode_changes", {{0x03, 4, 0, true}, {0x0E, 4, 4, false}}},
      {"restart_after_failure", {{0x0E, 4, 0, true}, {0x0E, 4, 12, false}, {0x0E, 4, 0, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Drive drive;
    auto bytes = image;
    for (const Step& s : c.steps) {
      const auto out = execute(drive, download(s.mode, s.blocks, s.offset), sim::DataDir::Out,
                               bytes.data() + s.offset * kBlock, s.blocks * kBlock);
      EXPECT_EQ(ok(out), s.accepted) << int(s.offset);
    }
    EXPECT_EQ(drive.firmware, "SIM1.00");
  }
}

TEST(SimDownload, BlockCountsWithinWords234And235) {
  struct Case {
    const char* name;
    uint16_t min, max;
    uint32_t segment;
    std::vector<bool> results;
  };
  // 10 blocks of image (9 blocks + 100 bytes padded).
  const Case cases[] = {
      {"within", 2, 4, 4, {true, true, true}},
      {"last_below_minimum_completes", 4, 0, 4, {true, true, true}},
      {"below_minimum", 8, 0, 4, {false, false, false}},
      {"above_maximum", 0, 3, 4, {false, false, false}},
      {"no_limits", 0, 0, 10, {true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Drive drive;
    drive.word234 = c.min;
    drive.word235 = c.max;
    const auto image = sim::make_image(9 * kBlock + 100, "SIM2.00");
    EXPECT_EQ(send_segments(drive, 0x03, image, c.segment), c.results);
    EXPECT_EQ(drive.firmware == "SIM2.00", c.results.back());
  }
}

TEST(SimDownload, ImagesItDoesNotAccept) {
  auto damaged = sim::make_image(6 * kBlock, "SIM2.00");
  damaged[5 * kBlock] ^= 0xFF;
  const auto foreign = std::vector<uint8_t>(6 * kBlock, 0x5A);
  struct Case {
    const char* name;
    const std::vector<uint8_t>* image;
    uint8_t mode;
    bool accept_any;
    std::vector<bool> results;
    std::string firmware;
  };
  const Case cases[] = {
      {"damaged_segmented", &damaged, 0x03, false, {true, false}, "SIM1.00"},
      {"damaged_immediate", &damaged, 0x07, false, {false}, "SIM1.00"},
      {"foreign_segmented", &foreign, 0x03, false, {false, false}, "SIM1.00"},
      {"foreign_immediate", &foreign, 0x07, false, {false}, "SIM1.00"},
      {"damaged_taken_anyway", &damaged, 0x03, true, {true, true}, "SIM2.00"},
      {"foreign_taken_anyway", &foreign, 0x0E, true, {true, true}, "SIM1.00"},
      {"foreign_immediate_anyway", &foreign, 0x07, true, {true}, "SIM1.00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Drive drive;
    drive.accept_any_image = c.accept_any;
    std::vector<bool> results;
    if (c.mode == 0x07) {
      auto bytes = *c.image;
      results.push_back(
          ok(execute(drive, download(0x07, 6, 0), sim::DataDir::Out, bytes.data(), 6 * kBlock)));
    } else {
      results = send_segments(drive, c.mode, *c.image, 3);
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(drive.firmware, c.firmware);
    EXPECT_EQ(drive.last_image == *c.image, c.accept_any);
  }
}

TEST(SimDownload, PlannedAborts) {
  struct Case {
    const char* name;
    int nth;
    bool every;
    std::vector<bool> results;
  };
  const Case cases[] = {
      {"second", 2, false, {true, false, false, false}},
      {"fourth", 4, false, {true, true, true, false}},
      {"every", 0, true, {false, false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Drive drive;
    drive.faults.abort_download_nth = c.nth;
    drive.faults.abort_every_download = c.every;
    const auto image = sim::make_image(8 * kBlock, "SIM2.00");
    // Once a segment is refused, the next offset no longer follows.
    EXPECT_EQ(send_segments(drive, 0x03, image, 2), c.results);
    EXPECT_EQ(drive.download_commands, 4);
    EXPECT_EQ(drive.firmware, "SIM1.00");
  }
}

}  // namespace
