#include "companion/LinkMessages.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvane {
namespace {

using Bytes = std::vector<uint8_t>;

std::optional<LinkMessage> Feed(LinkDecoder& decoder, const Bytes& bytes) {
  return decoder.feed(bytes.data(), bytes.size());
}

TEST(LinkDecoder, CommandsCarryTheUIDInSevenBitGroups) {
  LinkDecoder decoder;
  auto heartbeat = Feed(decoder, {0xF0, 0x7D, 0x01, 0x11, 0x51, 0x2C, 0x78, 0x03, 0xF7});
  ASSERT_TRUE(heartbeat);
  EXPECT_EQ(heartbeat->kind, LinkMessage::Kind::Command);
  EXPECT_EQ(heartbeat->uid, 0x12345678u);
  EXPECT_EQ(FormatLine(*heartbeat), "heartbeat UID 12345678");

  auto connect = Feed(decoder, {0xF0, 0x7D, 0x0F, 0x7F, 0x7F, 0x7F, 0x7F, 0x01, 0xF7});
  ASSERT_TRUE(connect);
  EXPECT_EQ(FormatLine(*connect), "connect UID FFFFFFFF");
  auto disconnect = Feed(decoder, {0xF0, 0x7D, 0x00, 0x00, 0x00, 0x01, 0x23, 0x02, 0xF7});
  ASSERT_TRUE(disconnect);
  EXPECT_EQ(FormatLine(*disconnect), "disconnect UID 000000A3");
}

TEST(LinkDecoder, TagNamesOnlyTheMessageRightAfterIt) {
  LinkDecoder decoder;
  EXPECT_FALSE(Feed(decoder, {0xF0, 0x7D, 0x01, 0x11, 0x51, 0x2C, 0x78, 0xF7}));
  auto event = Feed(decoder, {0x90, 0x3C, 0x64});
  ASSERT_TRUE(event);
  EXPECT_EQ(FormatLine(*event), "event UID 12345678 ch 1 note-on 60 100");

  auto untagged = Feed(decoder, {0x80, 0x3C, 0x00});
  ASSERT_TRUE(untagged);
  EXPECT_EQ(untagged->kind, LinkMessage::Kind::Untagged);

  // A command between a tag and its event: the tag is spent, the command still counts.
  EXPECT_FALSE(Feed(decoder, {0xF0, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x05, 0xF7}));
  auto command = Feed(decoder, {0xF0, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x06, 0x03, 0xF7});
  ASSERT_TRUE(command);
  EXPECT_EQ(command->uid, 6u);
  EXPECT_EQ(Feed(decoder, {0xB0, 1, 2})->kind, LinkMessage::Kind::Untagged);

  // Not our header (a group with its top bit set): an ordinary SysEx, untagged.
  auto foreign = Feed(decoder, {0xF0, 0x7D, 0x81, 0, 0, 0, 0, 0x01, 0xF7});
  ASSERT_TRUE(foreign);
  EXPECT_EQ(foreign->kind, LinkMessage::Kind::Untagged);
}

TEST(DescribeMIDI, NamesEveryChannelMessage) {
  const std::pair<Bytes, const char*> rows[] = {
      {{0x9F, 60, 0}, "ch 16 note-on 60 0"},
      {{0x81, 61, 64}, "ch 2 note-off 61 64"},
      {{0xA2, 62, 10}, "ch 3 poly-pressure 62 10"},
      {{0xB0, 1, 127}, "ch 1 cc 1 127"},
      {{0xC4, 5}, "ch 5 program 5"},
      {{0xD0, 0x40}, "ch 1 pressure 64"},
      {{0xE0, 0x00, 0x40}, "ch 1 bend 8192"},
      {{0xE0, 0x7F, 0x7F}, "ch 1 bend 16383"},
      {{0xF8}, "system F8"},
      {{0xF0, 1, 2, 0xF7}, "sysex 4 bytes"},
  };
  for (const auto& [bytes, text] : rows) EXPECT_EQ(DescribeMIDI(bytes), text);
}

}  // namespace
}  // namespace tolvane
