// The device simulator seen from Windows: real COM ports opened with CreateFileW under Wine,
// the simulator scripted and inspected through SimClient. Needs a running simulator
// (DEVSIM_PORT_FILE); every test starts from "reset", so tests sharing the simulator must
// not run at the same time.

#include "sim_client.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

const char kIdentify[] = "02010a03";
const char kBootloader[] = "02015003";
// Identity reply with every setting at its default: version 1.5, signature PSU, 16 bytes.
const char kDefaultIdentity[] = "0210f0005053550405060708090a0f0c0d0e0f03";

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char pair[3];
  for (uint8_t b : bytes) {
    snprintf(pair, sizeof pair, "%02x", b);
    s += pair;
  }
  return s;
}

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

double MsSince(int64_t startUs) { return static_cast<double>(UnixMicrosNow() - startUs) / 1000.0; }

// Opens COMn for overlapped I/O, the way a program has to under Wine: there a blocking
// ReadFile on a port whose cable was pulled keeps timing out with 0 bytes instead of failing.
HANDLE OpenCom(int port) {
  wchar_t name[32];
  _snwprintf_s(name, 32, _TRUNCATE, L"\\\\.\\COM%d", port);
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = 10;
  t.ReadTotalTimeoutMultiplier = 1;
  t.WriteTotalTimeoutConstant = 2000;
  bool ok = GetCommState(h, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  ok = ok && SetCommState(h, &dcb) && SetCommTimeouts(h, &t);
  if (!ok) {
    ADD_FAILURE() << "configuring COM" << port << " failed: " << GetLastError();
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// One overlapped ReadFile or WriteFile, waited for. Returns 0 or the error it failed with.
DWORD Transfer(HANDLE h, bool write, void* buf, DWORD size, DWORD* done) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  *done = 0;
  BOOL ok = write ? WriteFile(h, buf, size, nullptr, &ov) : ReadFile(h, buf, size, nullptr, &ov);
  DWORD error = ok ? 0 : GetLastError();
  if (ok || error == ERROR_IO_PENDING) {
    if (WaitForSingleObject(ov.hEvent, 10000) != WAIT_OBJECT_0) {
      CancelIoEx(h, &ov);
      WaitForSingleObject(ov.hEvent, 2000);
    }
    error = GetOverlappedResult(h, &ov, done, FALSE) ? 0 : GetLastError();
  }
  CloseHandle(ov.hEvent);
  return error;
}

bool WriteHex(HANDLE h, const std::string& hex) {
  std::vector<uint8_t> b = Bytes(hex);
  DWORD put = 0;
  return Transfer(h, true, b.data(), static_cast<DWORD>(b.size()), &put) == 0 && put == b.size();
}

struct ReadResult {
  std::vector<uint8_t> bytes;
  DWORD error = 0;  // the first failure other than a read timeout; 0 when none
};

// Reads until `want` bytes arrived or `ms` passed or a read failed.
ReadResult ReadFor(HANDLE h, size_t want, DWORD ms) {
  ReadResult r;
  int64_t start = UnixMicrosNow();
  while (r.bytes.size() < want && MsSince(start) < ms) {
    uint8_t buf[512];
    DWORD got = 0;
    DWORD ask = static_cast<DWORD>(std::min(sizeof buf, want - r.bytes.size()));
    DWORD error = Transfer(h, false, buf, ask, &got);
    if (error != 0 && error != ERROR_TIMEOUT) {
      r.error = error;
      break;
    }
    r.bytes.insert(r.bytes.end(), buf, buf + got);
  }
  return r;
}

class SimTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SimConnect(sim_)) << "no device simulator: DEVSIM_PORT_FILE unset or stale";
    ASSERT_TRUE(Sim("reset"));
  }
  void TearDown() override {
    Sim("reset");
    SimDisconnect(sim_);
  }

  // Formats and sends one control command; true on "ok".
  bool Sim(const char* fmt, ...) {
    char line[512];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    if (n < 0 || n >= static_cast<int>(sizeof line)) return false;
    std::string reply;
    bool ok = SimCommand(sim_, line, &reply);
    if (!ok) last_error_ = reply;
    return ok;
  }

  std::vector<std::string> EventWords(int port) {
    std::vector<SimEvent> events;
    EXPECT_TRUE(SimEvents(sim_, port, &events));
    std::vector<std::string> words;
    for (const SimEvent& e : events) words.push_back(e.word);
    return words;
  }

  SimClient sim_;
  std::string last_error_;
};

TEST_F(SimTest, IdentifyRoundTripIsLoggedWithSystemTime) {
  ASSERT_TRUE(Sim("add 3"));
  ASSERT_TRUE(Sim("behave 3 mode=identify"));
  HANDLE h = OpenCom(3);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();

  int64_t before = UnixMicrosNow();
  ASSERT_TRUE(WriteHex(h, kIdentify));
  ReadResult r = ReadFor(h, 20, 3000);
  int64_t after = UnixMicrosNow();
  EXPECT_EQ(Hex(r.bytes), kDefaultIdentity);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(Hex(ReadFor(h, 1, 200).bytes), "") << "nothing may follow the reply";
  CloseHandle(h);

  std::vector<SimFrame> frames;
  ASSERT_TRUE(SimFrames(sim_, 3, &frames));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(Hex(frames[0].bytes), kIdentify);
  // Both sides read the same host clock; the margin only covers Wine's scheduling.
  EXPECT_GE(frames[0].us, before - 100'000);
  EXPECT_LE(frames[0].us, after + 100'000);
  EXPECT_EQ(EventWords(3), (std::vector<std::string>{"added", "reply"}));
}

TEST_F(SimTest, ReplyLatencyIsSmall) {
  ASSERT_TRUE(Sim("add 3"));
  ASSERT_TRUE(Sim("behave 3 mode=identify"));
  HANDLE h = OpenCom(3);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  constexpr int kRounds = 20;
  std::vector<double> roundTrip;
  for (int i = 0; i < kRounds; ++i) {
    int64_t start = UnixMicrosNow();
    ASSERT_TRUE(WriteHex(h, kIdentify));
    ReadResult r = ReadFor(h, 20, 3000);
    ASSERT_EQ(Hex(r.bytes), kDefaultIdentity) << "round " << i;
    roundTrip.push_back(MsSince(start));
  }
  CloseHandle(h);

  std::vector<SimFrame> frames;
  std::vector<SimEvent> events;
  ASSERT_TRUE(SimFrames(sim_, 3, &frames));
  ASSERT_TRUE(SimEvents(sim_, 3, &events));
  ASSERT_EQ(frames.size(), static_cast<size_t>(kRounds));
  ASSERT_EQ(events.size(), static_cast<size_t>(kRounds + 1));  // "added" first
  std::vector<double> device;
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(events[i + 1].word, "reply");
    device.push_back(static_cast<double>(events[i + 1].us - frames[i].us) / 1000.0);
  }
  std::sort(roundTrip.begin(), roundTrip.end());
  std::sort(device.begin(), device.end());
  printf("frame to reply in the simulator: median %.3f ms, max %.3f ms\n", device[kRounds / 2],
         device.back());
  printf("Windows write to complete reply: median %.3f ms, max %.3f ms\n",
         roundTrip[kRounds / 2], roundTrip.back());
  EXPECT_GE(device.front(), 0.0);
  EXPECT_LT(device[kRounds / 2], 20.0);
  EXPECT_LT(roundTrip[kRounds / 2], 200.0);
}

struct ShapeCase {
  const char* behave;
  const char* frame;
  const char* reply;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.behave << " <- " << c.frame; }

class ReplyShapeTest : public SimTest, public testing::WithParamInterface<ShapeCase> {};

TEST_P(ReplyShapeTest, DeviceSendsExactlyTheScriptedBytes) {
  const ShapeCase& c = GetParam();
  ASSERT_TRUE(Sim("add 9"));
  ASSERT_TRUE(Sim("behave 9 %s", c.behave)) << last_error_;
  HANDLE h = OpenCom(9);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteHex(h, c.frame));
  size_t want = std::string(c.reply).size() / 2;
  ReadResult r = ReadFor(h, want, 3000);
  // Anything beyond the scripted reply shows up during a short extra read.
  ReadResult extra = ReadFor(h, 64, 300);
  r.bytes.insert(r.bytes.end(), extra.bytes.begin(), extra.bytes.end());
  CloseHandle(h);
  EXPECT_EQ(Hex(r.bytes), c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ReplyShapeTest,
    testing::Values(
        ShapeCase{"mode=identify", kIdentify, kDefaultIdentity},
        ShapeCase{"mode=identify version=21 sig=ABC b0=7 len=12", kIdentify,
                  "020cf0" "07414243" "0405060708090a" "15" "03"},
        ShapeCase{"mode=identify len=3", kIdentify, "0203f000505303"},
        ShapeCase{"mode=identify len=0", kIdentify, "0200f003"},
        ShapeCase{"mode=identify len=4 stray=aa55 repeat=2", kIdentify,
                  "aa550204f000505355" "03" "aa550204f000505355" "03"},
        ShapeCase{"mode=identify len=4 chunk=1 gap=5", kIdentify, "0204f00050535503"},
        ShapeCase{"mode=raw raw=0102FF", kIdentify, "0102ff"},
        ShapeCase{"mode=raw raw=0102ff", kBootloader, ""},
        ShapeCase{"mode=identify dfuraw=c0de", kBootloader, "c0de"},
        ShapeCase{"mode=identify", "02010a04", ""},
        ShapeCase{"mode=identify", "02020a03", ""},
        ShapeCase{"mode=silent", kIdentify, ""},
        ShapeCase{"mode=identify", "ff02" "02010a03", kDefaultIdentity}));


TEST_F(SimTest, LongPayloadCarriesItsLengthInTwoFields) {
  ASSERT_TRUE(Sim("add 9"));
  ASSERT_TRUE(Sim("behave 9 mode=identify len=300 version=33"));
  HANDLE h = OpenCom(9);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteHex(h, kIdentify));
  ReadResult r = ReadFor(h, 304, 3000);
  CloseHandle(h);
  ASSERT_EQ(r.bytes.size(), 304u);
  EXPECT_EQ(Hex(std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + 15)),
            "022cf1" "00505355" "0405060708090a" "21");
  EXPECT_EQ(r.bytes.back(), 0x03);
}

struct TimingCase {
  const char* behave;
  size_t replyBytes;
  double minMs;    // earliest the last byte can arrive after the frame was written
  double delayMs;  // from the frame to the first reply byte, as the simulator logs it
};

void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.behave; }

class ReplyTimingTest : public SimTest, public testing::WithParamInterface<TimingCase> {};

TEST_P(ReplyTimingTest, LastByteComesNoSoonerThanScripted) {
  const TimingCase& c = GetParam();
  ASSERT_TRUE(Sim("add 8"));
  ASSERT_TRUE(Sim("behave 8 %s", c.behave)) << last_error_;
  HANDLE h = OpenCom(8);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int64_t start = UnixMicrosNow();
  ASSERT_TRUE(WriteHex(h, kIdentify));
  ReadResult r = ReadFor(h, c.replyBytes, static_cast<DWORD>(c.minMs) + 5000);
  double doneMs = MsSince(start);
  CloseHandle(h);
  ASSERT_EQ(r.bytes.size(), c.replyBytes);
  // Lower bounds are exact (bytes cannot leave before they are due); upper bounds only
  // catch a simulator that waits for something other than its timers.
  EXPECT_GE(doneMs, c.minMs - 2);
  EXPECT_LT(doneMs, c.minMs + 3000);

  std::vector<SimFrame> frames;
  std::vector<SimEvent> events;
  ASSERT_TRUE(SimFrames(sim_, 8, &frames));
  ASSERT_TRUE(SimEvents(sim_, 8, &events));
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[1].word, "reply");
  int64_t delayUs = events[1].us - frames[0].us;
  EXPECT_GE(delayUs, static_cast<int64_t>(c.delayMs * 1000));
  EXPECT_LT(delayUs, static_cast<int64_t>(c.delayMs * 1000) + 1'000'000);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ReplyTimingTest,
    testing::Values(TimingCase{"mode=identify delay=300", 20, 300, 300},
                    TimingCase{"mode=identify chunk=5 gap=100", 20, 300, 0},  // 3 gaps
                    TimingCase{"mode=identify len=4 repeat=3 repeatgap=150", 24, 300, 0},
                    // 21 bytes in chunks of 7: 2 gaps per reply, then one gap between replies
                    TimingCase{"mode=identify delay=100 stray=00 chunk=7 gap=50 repeat=2 "
                               "repeatgap=100", 42, 400, 100}));

TEST_F(SimTest, PortsNotAddedDoNotExist) {
  ASSERT_TRUE(Sim("add 7"));
  ASSERT_TRUE(Sim("remove 7"));
  // Not COM1: on a host with /dev/ttyS0, Wine itself provides a COM1.
  for (int port : {2, 7, 20}) {
    HANDLE h = OpenCom(port);
    DWORD error = GetLastError();
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "COM" << port;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    else EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "COM" << port;
  }
  EXPECT_EQ(EventWords(7), (std::vector<std::string>{"added", "removed"}));
}

TEST_F(SimTest, PortSurvivesManyOpensAndCloses) {
  ASSERT_TRUE(Sim("add 4"));
  ASSERT_TRUE(Sim("behave 4 mode=identify"));
  constexpr int kOpens = 40;
  int answered = 0;
  for (int i = 0; i < kOpens; ++i) {
    HANDLE h = OpenCom(4);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "open " << i << " failed: " << GetLastError();
    // Every other open closes without talking, the way a port scan does.
    if (i % 2 == 0) {
      ASSERT_TRUE(WriteHex(h, kIdentify));
      if (Hex(ReadFor(h, 20, 3000).bytes) == kDefaultIdentity) ++answered;
    }
    CloseHandle(h);
  }
  EXPECT_EQ(answered, kOpens / 2);
  std::vector<SimFrame> frames;
  ASSERT_TRUE(SimFrames(sim_, 4, &frames));
  EXPECT_EQ(frames.size(), static_cast<size_t>(kOpens / 2));
}

TEST_F(SimTest, HangupFailsPendingReadAndLaterWrites) {
  ASSERT_TRUE(Sim("add 5"));
  HANDLE h = OpenCom(5);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = 10000;
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  uint8_t buf[16];
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &got, &ov));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  Sleep(100);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  int64_t pulled = UnixMicrosNow();
  ASSERT_TRUE(Sim("hangup 5"));
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0))
      << "read still pending after the cable was pulled";
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &got, FALSE));
  DWORD readError = GetLastError();
  EXPECT_NE(readError, static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_LT(MsSince(pulled), 3000.0) << "the read ran into its own timeout instead";

  ResetEvent(ov.hEvent);
  std::vector<uint8_t> frame = Bytes(kIdentify);
  BOOL wrote = WriteFile(h, frame.data(), 4, &got, &ov);
  if (!wrote && GetLastError() == ERROR_IO_PENDING) {
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    wrote = GetOverlappedResult(h, &ov, &got, FALSE);
  }
  EXPECT_FALSE(wrote) << "write after hangup succeeded";
  printf("after hangup: read error %lu, write error %lu\n", readError, GetLastError());
  CloseHandle(ov.hEvent);
  CloseHandle(h);

  EXPECT_EQ(OpenCom(5), INVALID_HANDLE_VALUE);
  EXPECT_EQ(EventWords(5), (std::vector<std::string>{"added", "hangup"}));
}

struct LeaveCase {
  const char* behave;
  const char* frame;
  double minMs;
  std::vector<std::string> events;
};

void PrintTo(const LeaveCase& c, std::ostream* os) { *os << c.behave << " <- " << c.frame; }

class DeviceLeavesTest : public SimTest, public testing::WithParamInterface<LeaveCase> {};

TEST_P(DeviceLeavesTest, PortVanishesAfterTheCommand) {
  const LeaveCase& c = GetParam();
  ASSERT_TRUE(Sim("add 6"));
  ASSERT_TRUE(Sim("behave 6 %s", c.behave)) << last_error_;
  HANDLE h = OpenCom(6);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int64_t start = UnixMicrosNow();
  ASSERT_TRUE(WriteHex(h, c.frame));
  ReadResult r = ReadFor(h, 4096, static_cast<DWORD>(c.minMs) + 5000);
  double goneMs = MsSince(start);
  CloseHandle(h);
  EXPECT_NE(r.error, 0u) << "reads kept working";
  EXPECT_GE(goneMs, c.minMs - 2);
  EXPECT_LT(goneMs, c.minMs + 3000);
  EXPECT_EQ(OpenCom(6), INVALID_HANDLE_VALUE);
  EXPECT_EQ(EventWords(6), c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, DeviceLeavesTest,
    testing::Values(
        LeaveCase{"mode=identify onidentify=hangup", kIdentify, 0, {"added", "hangup"}},
        LeaveCase{"mode=identify dfu=hangup dfudelay=300", kBootloader, 300,
                  {"added", "dfu", "hangup"}}));

TEST_F(SimTest, FloodSendsAtTheRequestedRateAndIgnoresFrames) {
  ASSERT_TRUE(Sim("add 10"));
  HANDLE h = OpenCom(10);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Sim("behave 10 mode=flood rate=5000"));
  ASSERT_TRUE(WriteHex(h, kIdentify));
  ReadResult r = ReadFor(h, 1'000'000, 1000);
  CloseHandle(h);
  EXPECT_EQ(r.error, 0u);
  // About 5000 bytes in that second; wide bounds for a loaded machine.
  EXPECT_GT(r.bytes.size(), 2000u);
  EXPECT_LT(r.bytes.size(), 9000u);
  size_t distinct = 0;
  for (int v = 0; v < 256; ++v)
    distinct += std::count(r.bytes.begin(), r.bytes.end(), static_cast<uint8_t>(v)) > 0;
  EXPECT_GT(distinct, 200u) << "flood bytes should be varied";
  std::vector<SimFrame> frames;
  ASSERT_TRUE(SimFrames(sim_, 10, &frames));
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_EQ(EventWords(10), (std::vector<std::string>{"added"}));
}

TEST_F(SimTest, FramesAreFoundInNoisyInput) {
  ASSERT_TRUE(Sim("add 11"));
  HANDLE h = OpenCom(11);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // A lone 02 before a frame, a frame with a bad end byte, then a good frame.
  const std::string sent = "ff02" "02010a03" "02010a04" "02015003";
  ASSERT_TRUE(WriteHex(h, sent));
  Sleep(200);
  CloseHandle(h);
  std::vector<SimFrame> frames, rx;
  ASSERT_TRUE(SimFrames(sim_, 11, &frames));
  ASSERT_TRUE(SimRx(sim_, 11, &rx));
  std::vector<std::string> hex;
  for (const SimFrame& f : frames) hex.push_back(Hex(f.bytes));
  EXPECT_EQ(hex, (std::vector<std::string>{kIdentify, kBootloader}));
  std::string received;
  for (const SimFrame& f : rx) received += Hex(f.bytes);
  EXPECT_EQ(received, sent);
  ASSERT_TRUE(Sim("clear 11"));
  ASSERT_TRUE(SimFrames(sim_, 11, &frames));
  EXPECT_TRUE(frames.empty());
}

TEST_F(SimTest, ControlCommandsAreChecked) {
  for (const char* bad : {"bogus", "add", "add 0", "add 21", "add x", "remove 2", "hangup 2",
                          "behave 2 mode=identify", "frames 3 4"}) {
    std::string reply;
    EXPECT_FALSE(SimCommand(sim_, bad, &reply)) << bad;
    EXPECT_EQ(reply.compare(0, 4, "err "), 0) << bad << " -> " << reply;
  }
  ASSERT_TRUE(Sim("add 2"));
  EXPECT_FALSE(Sim("add 2"));
  for (const char* bad : {"mode=loud", "version=256", "sig=PS", "len=4096", "raw=abc", "raw=zz",
                          "chunk=0", "repeat=0", "dfu=maybe", "onidentify=later", "colour=red",
                          "delay"}) {
    EXPECT_FALSE(Sim("behave 2 %s", bad)) << bad;
  }
  // A second connection is served while the first one stays open.
  SimClient other;
  ASSERT_TRUE(SimConnect(other));
  std::string reply;
  EXPECT_TRUE(SimCommand(other, "now", &reply));
  SimDisconnect(other);
  EXPECT_TRUE(Sim("events 2"));
}

TEST_F(SimTest, SimulatorClockMatchesWindowsClock) {
  std::string reply;
  int64_t before = UnixMicrosNow();
  ASSERT_TRUE(SimCommand(sim_, "now", &reply));
  int64_t after = UnixMicrosNow();
  int64_t now = _strtoi64(reply.c_str() + 3, nullptr, 10);
  EXPECT_GE(now, before - 50'000);
  EXPECT_LE(now, after + 50'000);
}

}  // namespace
