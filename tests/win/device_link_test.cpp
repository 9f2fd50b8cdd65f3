// DeviceLink's handler with real events, driven the way a port's I/O thread drives it.
#include "link/device_link.h"
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

bool Signalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; // takes the signal of an auto-reset event
}

class DeviceLinkTest : public testing::Test {
protected:
    DeviceLink link{};
    SerialPort* port = nullptr;

    void SetUp() override
    {
        link.Create();
        ASSERT_NE(link.frameReady, nullptr);
        ASSERT_NE(link.writeComplete, nullptr);
        port = CreateSerialPort(); // never opened: the handler only uses its fields and events
        ASSERT_NE(port, nullptr);
        port->readSize = 77;
    }
    void TearDown() override
    {
        ASSERT_TRUE(ReleaseSerialPort(port, 0));
        link.Destroy();
    }
    void Deliver(const std::vector<uint8_t>& bytes)
    {
        std::memcpy(port->readBuffer, bytes.data(), bytes.size());
        port->bytesRead = static_cast<uint32_t>(bytes.size());
        link.OnSerialEvent(port, SE_DATA);
    }
    bool ReadRequested() { return Signalled(port->events[SLOT_READ_REQUEST]); }
};

TEST_F(DeviceLinkTest, CreateLeavesTheParserAtRestAndEventsUnsignalled)
{
    EXPECT_EQ(link.rxIndex, 0);
    EXPECT_EQ(link.rxRemaining, 1);
    EXPECT_EQ(link.payloadLength, 0);
    EXPECT_FALSE(Signalled(link.frameReady));
    EXPECT_FALSE(Signalled(link.writeComplete));
}

TEST_F(DeviceLinkTest, StartedAsksForOneByte)
{
    link.rxIndex = 2; // mid-header: the parser must not be touched
    link.OnSerialEvent(port, SE_STARTED);
    EXPECT_EQ(port->readSize, 1u);
    EXPECT_TRUE(ReadRequested());
    EXPECT_EQ(link.rxIndex, 2);
    EXPECT_FALSE(Signalled(link.frameReady));
}

TEST_F(DeviceLinkTest, WriteDoneTwiceSignalsOnce)
{
    link.OnSerialEvent(port, SE_WRITE_DONE);
    link.OnSerialEvent(port, SE_WRITE_DONE);
    EXPECT_TRUE(Signalled(link.writeComplete));
    EXPECT_FALSE(Signalled(link.writeComplete));
    EXPECT_FALSE(ReadRequested());
}

TEST_F(DeviceLinkTest, DataAsksForWhatTheFrameStillNeedsAndSignalsOnlyOnAFrame)
{
    Deliver({STX});
    EXPECT_EQ(port->readSize, 1u);
    EXPECT_TRUE(ReadRequested());
    EXPECT_FALSE(Signalled(link.frameReady));

    Deliver({0x0C, 0xF0});
    EXPECT_EQ(port->readSize, 13u);
    EXPECT_TRUE(ReadRequested());
    EXPECT_FALSE(Signalled(link.frameReady));

    Deliver({0x00, 'P', 'S', 'U', 4, 5, 6, 7, 8, 9, 10, 15, ETX});
    EXPECT_EQ(port->readSize, 1u);
    EXPECT_TRUE(ReadRequested());
    EXPECT_TRUE(Signalled(link.frameReady));
    EXPECT_EQ(link.payloadLength, 12);
    EXPECT_EQ(link.payload[1], 'P');
    EXPECT_EQ(link.payload[11], 15);
}

TEST_F(DeviceLinkTest, LongBodyReadIsCappedAt256)
{
    Deliver({STX, 0x00, 0xF4}); // 1024 payload bytes
    EXPECT_EQ(port->readSize, 256u);
}

TEST_F(DeviceLinkTest, EmptyDeliveryAsksForOneByteWithoutSignal)
{
    Deliver({STX, 0x05, 0xF0, 1, 2});
    Deliver({});
    EXPECT_EQ(port->readSize, 1u);
    EXPECT_TRUE(ReadRequested());
    EXPECT_FALSE(Signalled(link.frameReady));
}

TEST_F(DeviceLinkTest, TwoFramesInOneDeliverySignalOnce)
{
    Deliver({STX, 1, 0xF0, 0xA1, ETX, STX, 1, 0xF0, 0xB2, ETX});
    EXPECT_EQ(link.frameCount, 2u);
    EXPECT_EQ(link.payload[0], 0xB2);
    EXPECT_TRUE(Signalled(link.frameReady));
    EXPECT_FALSE(Signalled(link.frameReady));
}

TEST_F(DeviceLinkTest, OtherKindsAndNullPortDoNothing)
{
    link.rxIndex = 1;
    for (int32_t kind : {int32_t(SE_CLOSED), int32_t(SE_RING), int32_t(SE_CARRIER_ON),
                         int32_t(SE_CARRIER_OFF), int32_t(99), int32_t(-1)}) {
        link.OnSerialEvent(port, kind);
        EXPECT_FALSE(ReadRequested()) << kind;
    }
    for (int32_t kind : {SE_STARTED, SE_WRITE_DONE, SE_DATA})
        link.OnSerialEvent(nullptr, kind);
    EXPECT_FALSE(Signalled(link.frameReady));
    EXPECT_FALSE(Signalled(link.writeComplete));
    EXPECT_EQ(link.rxIndex, 1);
    EXPECT_EQ(port->readSize, 77u);
}

TEST_F(DeviceLinkTest, CallbackForwardsToTheLinkInUser)
{
    DeviceLinkCallback(port, &link, SE_WRITE_DONE);
    EXPECT_TRUE(Signalled(link.writeComplete));
    DeviceLinkCallback(port, nullptr, SE_WRITE_DONE); // no link: nothing
}

TEST_F(DeviceLinkTest, PrepareForPortLeavesNothingOfThePreviousPort)
{
    Deliver({STX, 12, 0xF0, 0, 'P', 'S', 'U', 4, 5, 6, 7, 8, 9, 10, 15, ETX});
    Deliver({STX, 3}); // a reply in progress
    link.OnSerialEvent(port, SE_WRITE_DONE);
    SerialPort* next = reinterpret_cast<SerialPort*>(0x1234);
    link.PrepareForPort(next);
    EXPECT_EQ(link.port, next);
    EXPECT_EQ(link.rxIndex, 0);
    EXPECT_EQ(link.rxRemaining, 1);
    EXPECT_EQ(link.payloadLength, 0);
    EXPECT_EQ(link.payload[1], 0) << "the old signature must be gone";
    EXPECT_FALSE(Signalled(link.frameReady));
    EXPECT_FALSE(Signalled(link.writeComplete));
}

TEST(DeviceLinkLifetime, DestroyClosesBothEventsAndMarksThemInvalid)
{
    DeviceLink link{};
    link.Create();
    HANDLE ready = link.frameReady;
    link.Destroy();
    EXPECT_EQ(link.frameReady, INVALID_HANDLE_VALUE);
    EXPECT_EQ(link.writeComplete, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetEvent(ready)) << "the event handle must be closed";
    link.Destroy(); // twice is harmless
}

} // namespace
