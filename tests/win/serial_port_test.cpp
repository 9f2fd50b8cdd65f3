// The serial port engine on virtual COM ports, with the simulated device on the far end.
#include "serial/serial_port.h"
#include "link/device_link.h"
#include "tests/support/handle_count.h"
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

double NowMs()
{
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return now.QuadPart * 1000.0 / freq.QuadPart;
}

struct Recorded {
    int32_t kind;
    uint32_t bytesRead;
    double ms;
};

// Records every report of a port; optionally misbehaves the way a test needs.
struct Recorder {
    CRITICAL_SECTION lock;
    std::vector<Recorded> events;
    DWORD stallOnDataMs = 0;   // block the I/O thread inside the first SE_DATA report
    bool sendTwiceOnStart = false;

    Recorder() { InitializeCriticalSection(&lock); }
    ~Recorder() { DeleteCriticalSection(&lock); }

    std::vector<Recorded> Snapshot()
    {
        EnterCriticalSection(&lock);
        std::vector<Recorded> copy = events;
        LeaveCriticalSection(&lock);
        return copy;
    }
    int Count(int32_t kind)
    {
        int n = 0;
        for (const Recorded& e : Snapshot())
            n += e.kind == kind;
        return n;
    }
    // Waits until `kind` has been reported `times` times; returns the time of that report.
    bool WaitFor(int32_t kind, int times, DWORD timeoutMs, double* at = nullptr)
    {
        double end = NowMs() + timeoutMs;
        do {
            int n = 0;
            for (const Recorded& e : Snapshot()) {
                if (e.kind == kind && ++n == times) {
                    if (at)
                        *at = e.ms;
                    return true;
                }
            }
            Sleep(1);
        } while (NowMs() < end);
        return false;
    }
};

const CommandFrame kIdentify = MakeCommandFrame(CMD_IDENTIFY);
const CommandFrame kEnterDfu = MakeCommandFrame(CMD_ENTER_DFU);

void RecordingCallback(SerialPort* port, void* user, int32_t kind)
{
    Recorder* r = static_cast<Recorder*>(user);
    EnterCriticalSection(&r->lock);
    r->events.push_back({kind, port->bytesRead, NowMs()});
    bool firstData = kind == SE_DATA && r->stallOnDataMs && r->Count(SE_DATA) == 1;
    LeaveCriticalSection(&r->lock);
    if (kind == SE_STARTED && r->sendTwiceOnStart) {
        port->Send(kIdentify.bytes, 4);
        port->Send(kEnterDfu.bytes, 4); // a write is pending: dropped
    }
    if (firstData)
        Sleep(r->stallOnDataMs);
}

class SerialPortTest : public testing::Test {
protected:
    SimClient sim{};
    SerialPort* port = nullptr;
    Recorder recorder;

    void SetUp() override
    {
        ASSERT_TRUE(SimConnect(sim)) << "device simulator not reachable";
        ASSERT_TRUE(SimCommand(sim, "reset", nullptr));
        ASSERT_TRUE(SimCommand(sim, "add 3", nullptr));
        port = CreateSerialPort();
        ASSERT_NE(port, nullptr);
        port->callback = RecordingCallback;
        port->user = &recorder;
    }
    void TearDown() override
    {
        if (port) {
            port->Close();
            EXPECT_TRUE(ReleaseSerialPort(port, 5000));
        }
        SimCommand(sim, "reset", nullptr);
        SimDisconnect(sim);
    }
    std::vector<SimFrame> FramesOn(int number)
    {
        std::vector<SimFrame> frames;
        EXPECT_TRUE(SimFrames(sim, number, &frames));
        return frames;
    }
};

// --- Open ------------------------------------------------------------------------------

struct OpenCase {
    const char* name;
    const wchar_t* portName;
    int missingEvent; // -1: all events present
    OpenResult expected;
};

const OpenCase kOpenCases[] = {
    {"no_name", nullptr, -1, OPEN_NO_NAME},
    {"absent_port", L"COM7", -1, OPEN_PORT_FAILED},
    {"name_too_long", L"\\\\.\\COM100", -1, OPEN_PORT_FAILED},
    {"missing_event", L"COM3", SLOT_COMM_REQUEST, OPEN_NO_EVENTS},
    {"missing_event_wins_over_no_name", nullptr, SLOT_STOP, OPEN_NO_EVENTS},
    {"missing_event_wins_over_absent_port", L"COM7", SLOT_READ_DONE, OPEN_NO_EVENTS},
};

class OpenResultTest : public SerialPortTest, public testing::WithParamInterface<OpenCase> {};

TEST_P(OpenResultTest, FailsWithItsCodeAndLeavesNothingOpen)
{
    const OpenCase& c = GetParam();
    if (c.missingEvent >= 0) {
        CloseHandle(port->events[c.missingEvent]);
        port->events[c.missingEvent] = nullptr;
    }
    EXPECT_EQ(port->Open(c.portName), c.expected);
    EXPECT_EQ(port->handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(port->thread, nullptr);
    EXPECT_EQ(port->name[SERIAL_NAME_CHARS - 1], L'\0');

    double start = NowMs();
    port->Close();
    EXPECT_LT(NowMs() - start, 100.0) << "Close of a port that never opened must return at once";
    Sleep(50);
    EXPECT_TRUE(recorder.Snapshot().empty()) << "a port that did not open reports nothing";
}

INSTANTIATE_TEST_SUITE_P(Open, OpenResultTest, testing::ValuesIn(kOpenCases),
                         [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

TEST_F(SerialPortTest, OpenAppliesTheLineSettings)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    EXPECT_STREQ(port->name, L"COM3");
    EXPECT_EQ(port->baudRate, 115200u);
    EXPECT_EQ(port->parity, 0);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port->handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(port->handle, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

// --- Reports ---------------------------------------------------------------------------

TEST_F(SerialPortTest, StartedComesFirstAndNoReadStartsUnasked)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    Sleep(150);
    std::vector<Recorded> events = recorder.Snapshot();
    ASSERT_EQ(events.size(), 1u) << "nothing but SE_STARTED before the first RequestRead";
    EXPECT_EQ(events[0].kind, SE_STARTED);
    EXPECT_TRUE(port->running);
}

TEST_F(SerialPortTest, ClosedComesLastAndNothingFollows)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    port->RequestRead(1);
    ASSERT_TRUE(recorder.WaitFor(SE_DATA, 1, 2000));
    double start = NowMs();
    port->Close();
    EXPECT_LT(NowMs() - start, 1000.0);
    EXPECT_EQ(port->thread, nullptr);
    EXPECT_FALSE(port->running);
    EXPECT_EQ(port->handle, INVALID_HANDLE_VALUE);
    size_t count = recorder.Snapshot().size();
    Sleep(100);
    std::vector<Recorded> events = recorder.Snapshot();
    ASSERT_EQ(events.size(), count);
    EXPECT_EQ(events.front().kind, SE_STARTED);
    EXPECT_EQ(events.back().kind, SE_CLOSED);
    EXPECT_EQ(recorder.Count(SE_CLOSED), 1);
}

TEST_F(SerialPortTest, SendWritesTheFrameAndReportsWriteDone)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    port->Send(kIdentify.bytes, 4);
    ASSERT_TRUE(recorder.WaitFor(SE_WRITE_DONE, 1, 1000));
    EXPECT_FALSE(port->writePending);
    Sleep(50);
    std::vector<SimFrame> frames = FramesOn(3);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, std::vector<uint8_t>(kIdentify.bytes, kIdentify.bytes + 4));
}

TEST_F(SerialPortTest, SendRightAfterOpenIsWrittenOnceTheThreadRuns)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    port->Send(kEnterDfu.bytes, 4);
    ASSERT_TRUE(recorder.WaitFor(SE_WRITE_DONE, 1, 1000));
    Sleep(50);
    std::vector<SimFrame> frames = FramesOn(3);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes[2], CMD_ENTER_DFU);
}

TEST_F(SerialPortTest, SecondSendWhileWritePendingIsDropped)
{
    recorder.sendTwiceOnStart = true;
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_WRITE_DONE, 1, 1000));
    Sleep(200);
    EXPECT_EQ(recorder.Count(SE_WRITE_DONE), 1);
    std::vector<SimFrame> frames = FramesOn(3);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes[2], CMD_IDENTIFY);
}

TEST_F(SerialPortTest, OversizedSendIsRefused)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    std::vector<uint8_t> big(SERIAL_BUFFER_SIZE + 1, 0x55);
    port->Send(big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_FALSE(port->writePending);
    Sleep(150);
    EXPECT_EQ(recorder.Count(SE_WRITE_DONE), 0);
    // and the port still writes what fits
    port->Send(kIdentify.bytes, 4);
    EXPECT_TRUE(recorder.WaitFor(SE_WRITE_DONE, 1, 1000));
}

TEST_F(SerialPortTest, EmptyReadEndsAfterTenPlusNMilliseconds)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    int reads = 0;
    for (uint32_t n : {1u, 100u, 250u}) {
        SCOPED_TRACE(n);
        double asked = NowMs(), done = 0;
        port->RequestRead(n);
        ASSERT_TRUE(recorder.WaitFor(SE_DATA, ++reads, 3000, &done));
        EXPECT_EQ(recorder.Snapshot().back().bytesRead, 0u);
        EXPECT_GE(done - asked, (10 + n) - 2.0) << "the read ended before its time-out";
        EXPECT_LT(done - asked, (10 + n) + 300.0);
    }
}

TEST_F(SerialPortTest, ReadOfNBytesDeliversThem)
{
    ASSERT_TRUE(SimCommand(sim, "behave 3 mode=identify version=42 len=16", nullptr));
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    port->Send(kIdentify.bytes, 4);
    ASSERT_TRUE(recorder.WaitFor(SE_WRITE_DONE, 1, 1000));
    Sleep(50); // the 20-byte reply is waiting in the port
    port->RequestRead(20);
    ASSERT_TRUE(recorder.WaitFor(SE_DATA, 1, 1000));
    EXPECT_EQ(recorder.Snapshot().back().bytesRead, 20u);
    EXPECT_EQ(port->readBuffer[0], STX);
    EXPECT_EQ(port->readBuffer[3 + 1], 'P');
    EXPECT_EQ(port->readBuffer[3 + 11], 42);
    EXPECT_EQ(port->readBuffer[19], ETX);
}

TEST_F(SerialPortTest, RequestReadWhileReadInFlightIsDropped)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    port->RequestRead(250); // in flight for about 260 ms
    Sleep(40);
    port->RequestRead(1);   // dropped, not kept for later
    Sleep(700);
    EXPECT_EQ(recorder.Count(SE_DATA), 1);
}

TEST_F(SerialPortTest, PortWithoutModemLinesKeepsServing)
{
    // A pty has no modem lines: the port stops watching them instead of closing.
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    Sleep(100);
    EXPECT_TRUE(port->running);
    EXPECT_EQ(recorder.Count(SE_CLOSED), 0);
    port->Send(kIdentify.bytes, 4);
    EXPECT_TRUE(recorder.WaitFor(SE_WRITE_DONE, 1, 1000));
}

TEST_F(SerialPortTest, NullCallbackRunsTheSameSilently)
{
    port->callback = nullptr;
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    port->Send(kIdentify.bytes, 4);
    Sleep(200);
    EXPECT_EQ(FramesOn(3).size(), 1u);
    port->Close();
    EXPECT_TRUE(recorder.Snapshot().empty());
}

// --- Close and release --------------------------------------------------------------------

TEST_F(SerialPortTest, CloseGivesUpAfterTwoSecondsWhenTheThreadHangs)
{
    recorder.stallOnDataMs = 3500;
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    port->RequestRead(1);
    ASSERT_TRUE(recorder.WaitFor(SE_DATA, 1, 2000)); // the I/O thread now sleeps in the callback
    double start = NowMs();
    port->Close();
    double took = NowMs() - start;
    EXPECT_GE(took, 1900.0);
    EXPECT_LT(took, 3000.0);
    EXPECT_EQ(port->thread, nullptr);
    EXPECT_FALSE(ReleaseSerialPort(port, 0)) << "must not free a port whose thread still runs";
    ASSERT_TRUE(ReleaseSerialPort(port, 5000));
    port = nullptr;
    EXPECT_EQ(recorder.Snapshot().back().kind, SE_CLOSED);
}

TEST_F(SerialPortTest, CablePulledMidReadEndsInClosed)
{
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    ASSERT_TRUE(recorder.WaitFor(SE_STARTED, 1, 2000));
    port->RequestRead(250);
    Sleep(30);
    ASSERT_TRUE(SimCommand(sim, "hangup 3", nullptr));
    EXPECT_TRUE(recorder.WaitFor(SE_CLOSED, 1, 3000));
    EXPECT_FALSE(port->running);
    double start = NowMs();
    port->Close();
    EXPECT_LT(NowMs() - start, 200.0) << "the thread had already ended";
}

// Runs one whole port life: create, open, identify, close; released unless `leak`.
void OnePortLife(bool leak)
{
    DeviceLink link;
    link.Create();
    SerialPort* port = CreateSerialPort();
    port->callback = DeviceLinkCallback;
    port->user = &link;
    ASSERT_EQ(port->Open(L"COM3"), OPEN_OK);
    port->Send(kIdentify.bytes, 4);
    EXPECT_EQ(WaitForSingleObject(link.writeComplete, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(link.frameReady, 1000), WAIT_OBJECT_0);
    port->Close();
    if (!leak) {
        EXPECT_TRUE(ReleaseSerialPort(port, 5000));
    }
    link.Destroy();
}

TEST_F(SerialPortTest, ReleasedPortLeavesNoHandleBehind)
{
    ASSERT_TRUE(SimCommand(sim, "behave 3 mode=identify", nullptr));
    OnePortLife(false); // first use of the port warms up what Wine keeps open
    int before = CountProcessHandles(GetCurrentProcessId());
    ASSERT_GT(before, 0);
    for (int i = 0; i < 5; i++)
        OnePortLife(false);
    EXPECT_EQ(CountProcessHandles(GetCurrentProcessId()), before);

    // The count is not blind: a port that is closed but not released shows as a leak.
    OnePortLife(true);
    EXPECT_GT(CountProcessHandles(GetCurrentProcessId()), before);
}

} // namespace
