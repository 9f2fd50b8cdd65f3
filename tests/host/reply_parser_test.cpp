// The reply parser against the frame layouts the device sends, split and combined every way
// a serial port can deliver them.
#include "link/device_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text)
{
    Bytes out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            i++;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

Bytes Frame(const Bytes& payload)
{
    Bytes out = {STX, static_cast<uint8_t>(payload.size() & 0xFF),
                 static_cast<uint8_t>(0xF0 | ((payload.size() >> 8) & 0x0F))};
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(ETX);
    return out;
}

// Payload of an identity reply: signature at 1..3, version at 11.
Bytes IdentityPayload(uint8_t version)
{
    return {0x00, 'P', 'S', 'U', 4, 5, 6, 7, 8, 9, 10, version};
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A link as a run creates it, with a recognisable payload so that "kept" can be checked.
std::unique_ptr<DeviceLink> NewLink()
{
    auto link = std::make_unique<DeviceLink>();
    std::memset(link.get(), 0, sizeof(DeviceLink));
    link->ResetParser();
    std::memset(link->payload, 0xEE, sizeof link->payload);
    return link;
}

bool Deliver(DeviceLink& link, const Bytes& bytes)
{
    return link.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool PayloadIs(const DeviceLink& link, const Bytes& expected)
{
    return std::memcmp(link.payload, expected.data(), expected.size()) == 0;
}

struct DeliveryCase {
    const char* name;
    std::vector<std::string> deliveries; // hex; "" is an empty delivery
    std::vector<bool> accepted;          // per delivery
    uint32_t frameCount;
    uint16_t payloadLength;
    std::string payload;                 // expected start of payload ("" = untouched 0xEE)
    uint16_t rxIndex;
    uint32_t nextRead;
};

const DeliveryCase kCases[] = {
    {"identity reply in one read",
     {"02 0C F0 00 50 53 55 04 05 06 07 08 09 0A 0F 03"}, {true}, 1, 12,
     "00 50 53 55 04 05 06 07 08 09 0A 0F", 0, 1},
    {"split: STX, each length byte, body in two reads",
     {"02", "0C", "F0", "00 50 53 55 04 05", "06 07 08 09 0A 0F 03"},
     {false, false, false, false, true}, 1, 12, "00 50 53 55 04 05 06 07 08 09 0A 0F", 0, 1},
    {"two frames in one read: second payload wins",
     {"02 02 F0 AA BB 03 02 03 F0 11 22 33 03"}, {true}, 2, 3, "11 22 33", 0, 1},
    {"stray bytes before a frame are skipped",
     {"FF 00 03 7E 02 01 F0 42 03"}, {true}, 1, 1, "42", 0, 1},
    {"header without marker: command-shaped frame accepted empty",
     {"02 01 0A 03"}, {true}, 1, 0, "", 0, 1},
    {"header 02 00 F0 gives an empty frame",
     {"02 00 F0 03"}, {true}, 1, 0, "", 0, 1},
    {"wrong end byte consumes the byte, rest skipped",
     {"02 00 F0 02 00 F0 03"}, {false}, 0, 0, "", 0, 1},
    {"payload bytes may be STX and ETX",
     {"02 04 F0 02 03 02 03 03"}, {true}, 1, 4, "02 03 02 03", 0, 1},
    {"empty read while looking for STX changes nothing",
     {"", "02 01 F0 42 03"}, {false, true}, 1, 1, "42", 0, 1},
    {"empty read inside the header keeps the header",
     {"02 03", "", "F0 AA BB CC 03"}, {false, false, true}, 1, 3, "AA BB CC", 0, 1},
    {"empty read in the body cuts the frame: ETX next accepts it empty",
     {"02 05 F0 AA BB", "", "03"}, {false, false, true}, 1, 0, "", 0, 1},
    {"empty read in the body cuts the frame: other byte drops it, rest skipped",
     {"02 05 F0 AA BB", "", "CC DD EE 03"}, {false, false, false}, 0, 0, "", 0, 1},
    {"body in progress asks for the bytes still missing",
     {"02 0C F0 00 50 53"}, {false}, 0, 12, "", 6, 10},
};

class DeliveryTest : public testing::TestWithParam<DeliveryCase> {};

TEST_P(DeliveryTest, AcceptsExactlyTheFramesItShould)
{
    const DeliveryCase& c = GetParam();
    auto link = NewLink();
    for (size_t i = 0; i < c.deliveries.size(); i++)
        EXPECT_EQ(Deliver(*link, Hex(c.deliveries[i])), c.accepted[i]) << "delivery " << i;
    EXPECT_EQ(link->frameCount, c.frameCount);
    EXPECT_EQ(link->payloadLength, c.payloadLength);
    EXPECT_EQ(link->rxIndex, c.rxIndex);
    EXPECT_EQ(link->NextReadSize(), c.nextRead);
    if (c.payload.empty())
        EXPECT_EQ(link->payload[0], 0xEE) << "payload must keep what it held";
    else
        EXPECT_TRUE(PayloadIs(*link, Hex(c.payload)));
}

INSTANTIATE_TEST_SUITE_P(Parser, DeliveryTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DeliveryCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

TEST(Parser, EachStepOfTheHeaderAsksForOneByte)
{
    auto link = NewLink();
    Bytes frame = Frame(IdentityPayload(15));
    std::vector<uint32_t> sizes;
    for (uint8_t b : frame) {
        Deliver(*link, {b});
        sizes.push_back(link->NextReadSize());
    }
    // after STX, low length, high length (12 + ETX missing), then counting down to the end
    std::vector<uint32_t> expected = {1, 1, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 1};
    EXPECT_EQ(sizes, expected);
    EXPECT_EQ(link->frameCount, 1u);
}

TEST(Parser, LongFrameReadsAreCappedAtTheReadBuffer)
{
    auto link = NewLink();
    Bytes payload(1000);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<uint8_t>(i * 7);
    Bytes frame = Frame(payload);
    Deliver(*link, Bytes(frame.begin(), frame.begin() + 3));
    size_t at = 3;
    int reads = 0;
    while (at < frame.size()) {
        uint32_t want = link->NextReadSize();
        ASSERT_GE(want, 1u);
        ASSERT_LE(want, LINK_MAX_READ);
        ASSERT_LE(at + want, frame.size()) << "a read must never ask past the frame";
        Deliver(*link, Bytes(frame.begin() + at, frame.begin() + at + want));
        at += want;
        reads++;
    }
    EXPECT_EQ(reads, 4); // 1001 bytes: 256 + 256 + 256 + 233
    EXPECT_EQ(link->frameCount, 1u);
    EXPECT_EQ(link->payloadLength, 1000);
    EXPECT_TRUE(PayloadIs(*link, payload));
}

TEST(Parser, LargestKeptFrameFillsTheBufferExactly)
{
    auto link = NewLink();
    Bytes payload(LINK_MAX_PAYLOAD);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<uint8_t>(i ^ (i >> 8));
    Bytes frame = Frame(payload);
    ASSERT_EQ(frame.size(), LINK_BUFFER_SIZE);
    ASSERT_EQ(frame[1], 0xFC);
    ASSERT_EQ(frame[2], 0xFF);
    EXPECT_TRUE(Deliver(*link, frame));
    EXPECT_EQ(link->payloadLength, LINK_MAX_PAYLOAD);
    EXPECT_TRUE(PayloadIs(*link, payload));
}

// Headers may announce 4093..4095 payload bytes, more than the buffer holds: such a frame is
// consumed and dropped, and the record around the buffer is left intact.
TEST(Parser, OversizedFramesAreConsumedAndDropped)
{
    for (uint32_t length : {4093u, 4094u, 4095u}) {
        SCOPED_TRACE(length);
        auto link = NewLink();
        ASSERT_TRUE(Deliver(*link, Frame({0x11, 0x22})));
        Bytes big(length, 0x5A);
        EXPECT_FALSE(Deliver(*link, Frame(big)));
        EXPECT_EQ(link->frameCount, 1u);
        EXPECT_EQ(link->payloadLength, 0);
        EXPECT_EQ(link->rxIndex, 0);
        EXPECT_EQ(link->rxRemaining, 1);
        EXPECT_TRUE(PayloadIs(*link, {0x11, 0x22}));
        EXPECT_EQ(link->payload[2], 0xEE);
        // and the parser goes on with the next frame
        EXPECT_TRUE(Deliver(*link, Frame(IdentityPayload(7))));
        EXPECT_TRUE(PayloadIs(*link, IdentityPayload(7)));
    }
}

TEST(Parser, AnnouncedLengthUsesTheLowNibbleOfTheHighByte)
{
    struct Case { uint8_t low, high; uint16_t expected; };
    const Case cases[] = {{0x0C, 0xF0, 12}, {0x00, 0xF1, 256}, {0x34, 0xF2, 0x234},
                          {0xFF, 0xEF, 0}, {0x05, 0x0F, 0}, {0x05, 0x70, 0}};
    for (const Case& c : cases) {
        auto link = NewLink();
        Deliver(*link, {STX, c.low, c.high});
        EXPECT_EQ(link->payloadLength, c.expected) << std::hex << int(c.low) << " " << int(c.high);
        EXPECT_EQ(link->rxRemaining, c.expected + 1);
    }
}

TEST(Parser, StrayBytesClearTheLengthOneByOne)
{
    auto link = NewLink();
    Deliver(*link, Frame({1, 2, 3}));
    EXPECT_EQ(link->payloadLength, 3);
    Deliver(*link, {0x7F});
    EXPECT_EQ(link->payloadLength, 0);
    EXPECT_EQ(link->rxIndex, 0);
    EXPECT_TRUE(PayloadIs(*link, {1, 2, 3}));
}

TEST(Parser, EveryWayOfSplittingTheIdentityReplyGivesOneFrame)
{
    Bytes stream = Concat({Hex("13 37"), Frame(IdentityPayload(255))});
    for (size_t a = 1; a < stream.size(); a++) {
        for (size_t b = a + 1; b < stream.size(); b++) { // no empty read: it would cut the frame
            auto link = NewLink();
            int signals = 0;
            signals += Deliver(*link, Bytes(stream.begin(), stream.begin() + a));
            signals += Deliver(*link, Bytes(stream.begin() + a, stream.begin() + b));
            signals += Deliver(*link, Bytes(stream.begin() + b, stream.end()));
            ASSERT_EQ(signals, 1) << a << "," << b;
            ASSERT_EQ(link->frameCount, 1u);
            ASSERT_TRUE(PayloadIs(*link, IdentityPayload(255)));
        }
    }
}

TEST(Frames, CommandFramesAreFourBytes)
{
    CommandFrame identify = MakeCommandFrame(CMD_IDENTIFY);
    CommandFrame dfu = MakeCommandFrame(CMD_ENTER_DFU);
    EXPECT_EQ(Bytes(identify.bytes, identify.bytes + 4), Hex("02 01 0A 03"));
    EXPECT_EQ(Bytes(dfu.bytes, dfu.bytes + 4), Hex("02 01 50 03"));
}

} // namespace
