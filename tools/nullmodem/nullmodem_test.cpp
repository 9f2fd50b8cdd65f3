// The null-modem cable from the host side. Plays both the application and the device by
// opening the pty slaves through the dosdevices links, as Wine does for \\.\COMx. The program
// is named by the NULLMODEM environment variable.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

std::string ReadLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

bool Exists(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0;
}

bool IsPtyLink(const std::string& path) { return ReadLink(path).rfind("/dev/pts/", 0) == 0; }

Clock::time_point Deadline(std::chrono::milliseconds limit) { return Clock::now() + limit; }

// Polls `done` for up to `limit`: the cable reacts to opens, closes and links asynchronously.
template <typename Fn>
bool Eventually(Fn done, std::chrono::milliseconds limit = 5000ms) {
  auto end = Deadline(limit);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return done();
}

int RemainingMs(Clock::time_point end) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return static_cast<int>(std::max<long long>(ms, 0));
}

int OpenPort(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Writes `data` to `from` while reading from `to` (both non-blocking), so a payload larger
// than the pty buffers cannot stall; returns what arrived at `to`, `want` bytes at most.
std::string Transfer(int from, int to, const std::string& data, size_t want,
                     std::chrono::milliseconds limit = 5000ms) {
  auto end = Deadline(limit);
  size_t sent = 0;
  std::string got;
  while (got.size() < want && Clock::now() < end) {
    pollfd p[2] = {{to, POLLIN, 0}, {from, static_cast<short>(sent < data.size() ? POLLOUT : 0), 0}};
    if (poll(p, 2, RemainingMs(end)) <= 0) break;
    if (p[1].revents & POLLOUT) {
      ssize_t w = write(from, data.data() + sent, data.size() - sent);
      if (w > 0) sent += static_cast<size_t>(w);
    }
    if (p[0].revents & POLLIN) {
      char buf[4096];
      ssize_t r = read(to, buf, std::min(sizeof buf, want - got.size()));
      if (r > 0) got.append(buf, static_cast<size_t>(r));
    }
    if ((p[0].revents | p[1].revents) & (POLLHUP | POLLERR)) break;
  }
  return got;
}

std::string Exchange(int from, int to, const std::string& data) {
  return Transfer(from, to, data, data.size());
}

// True when the port behaves as hung up within `limit`: poll reports it, or a read fails or
// hits end of file.
bool HungUp(int fd, std::chrono::milliseconds limit = 5000ms) {
  return Eventually(
      [&] {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR))) return true;
        char c;
        ssize_t r = read(fd, &c, 1);
        return r == 0 || (r < 0 && errno != EAGAIN);
      },
      limit);
}

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

class NullmodemTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = getenv("NULLMODEM");
    ASSERT_NE(bin, nullptr) << "NULLMODEM must name the program";
    binary_ = bin;
    std::string tmpl = (std::filesystem::temp_directory_path() / "nullmodem-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    prefix_ = root_ + "/prefix";
    readyFile_ = root_ + "/ready";
    ASSERT_EQ(mkdir(prefix_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((prefix_ + "/dosdevices").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/", (prefix_ + "/dosdevices/z:").c_str()), 0);
  }

  void TearDown() override {
    for (int fd : fds_) close(fd);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    if (ec) ADD_FAILURE() << "cannot remove " << root_ << ": " << ec.message();
  }

  void Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv{binary_.data()};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      execv(binary_.c_str(), argv.data());
      _exit(127);
    }
  }

  // Pairs COM3 (application) with COM4 (device) and COM5 with COM6.
  void Start() {
    Spawn({"--prefix", prefix_, "--pair", "3:4", "--pair", "5:6", "--ready-file", readyFile_});
    ASSERT_TRUE(Eventually([&] { return Exists(readyFile_); }, 10000ms)) << "no ready file";
    FILE* f = fopen(readyFile_.c_str(), "r");
    ASSERT_NE(f, nullptr);
    int pid = 0;
    int fields = fscanf(f, "%d\n", &pid);
    fclose(f);
    ASSERT_EQ(fields, 1);
    ASSERT_EQ(pid, pid_) << "ready file names another process";
  }

  // Exit status of the program, or -1 when it does not end within 5 s.
  int WaitExit() {
    int status = 0;
    auto end = Deadline(5000ms);
    while (Clock::now() < end) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  std::string Com(int n) { return prefix_ + "/dosdevices/com" + std::to_string(n); }

  int Open(int n) {
    int fd = OpenPort(Com(n));
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  void Close(int& fd) {
    std::erase(fds_, fd);
    close(fd);
    fd = -1;
  }

  // Opens the device end of a pair and waits for its application end to appear.
  int Plug(int dev, int app) {
    int fd = Open(dev);
    EXPECT_GE(fd, 0) << "cannot open COM" << dev << ": " << strerror(errno);
    EXPECT_TRUE(Eventually([&] { return IsPtyLink(Com(app)); })) << "COM" << app << " missing";
    return fd;
  }

  std::vector<std::string> ComLinks() {
    std::vector<std::string> names;
    DIR* d = opendir((prefix_ + "/dosdevices").c_str());
    if (!d) return names;
    while (const dirent* e = readdir(d))
      if (strncmp(e->d_name, "com", 3) == 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string binary_, root_, prefix_, readyFile_;
  pid_t pid_ = -1;
  std::vector<int> fds_;
};

TEST_F(NullmodemTest, StartRemovesComLinksAndMakesOnlyTheDeviceEnds) {
  ASSERT_EQ(symlink("/dev/ttyS0", Com(1).c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", Com(3).c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", Com(4).c_str()), 0);
  Start();
  EXPECT_EQ(ComLinks(), (std::vector<std::string>{"com4", "com6"}));
  EXPECT_TRUE(IsPtyLink(Com(4))) << ReadLink(Com(4));
  EXPECT_TRUE(IsPtyLink(Com(6))) << ReadLink(Com(6));
  EXPECT_NE(ReadLink(Com(4)), ReadLink(Com(6)));
  EXPECT_TRUE(Exists(prefix_ + "/dosdevices/z:"));
}

TEST_F(NullmodemTest, BytesCrossTheCableUnchangedBothWays) {
  Start();
  int dev = Plug(4, 3);
  int app = Open(3);
  ASSERT_GE(app, 0);
  EXPECT_FALSE(Exists(Com(5))) << "the other pair's device end is closed";

  struct Case {
    const char* name;
    std::string data;
  };
  const Case cases[] = {
      {"single byte", "\x7f"},
      {"line endings and control characters", "a\r\nb\rc\n\x03\x04\x11\x13\x1a\x00z"s},
      {"all 256 byte values", AllByteValues()},
      {"4 KiB burst", Pattern(4096, 1)},
      {"64 KiB burst", Pattern(64 * 1024, 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Exchange(app, dev, c.data), c.data) << "application to device";
    EXPECT_EQ(Exchange(dev, app, c.data), c.data) << "device to application";
  }
}

TEST_F(NullmodemTest, ApplicationReopeningItsPortKeepsThePairWorking) {
  Start();
  int dev = Plug(4, 3);
  std::string target = ReadLink(Com(3));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int app = Open(3);
    ASSERT_GE(app, 0) << strerror(errno);
    std::string ping = "ping" + std::to_string(round), pong = "pong" + std::to_string(round);
    EXPECT_EQ(Exchange(app, dev, ping), ping);
    EXPECT_EQ(Exchange(dev, app, pong), pong);
    Close(app);
    EXPECT_EQ(ReadLink(Com(3)), target) << "the application end was replaced";
  }
}

TEST_F(NullmodemTest, ClosingTheDeviceEndUnplugsAndReopeningPlugsAFreshPort) {
  Start();
  int dev = Plug(4, 3);
  int app = Open(3);
  ASSERT_GE(app, 0);
  ASSERT_EQ(Exchange(app, dev, "hello"), "hello");

  // Left unread in the cable when it is pulled: the device has "stale" waiting, and writes
  // "old" just before it closes. The cable is stopped meanwhile, so that it sees the bytes and
  // the close at once instead of passing "old" on.
  ASSERT_EQ(write(app, "stale", 5), 5);
  ASSERT_TRUE(Eventually([&] {
    pollfd p{dev, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }));
  ASSERT_EQ(kill(pid_, SIGSTOP), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid_, &status, WUNTRACED), pid_);
  ASSERT_TRUE(WIFSTOPPED(status));
  ASSERT_EQ(write(dev, "old", 3), 3);
  Close(dev);
  ASSERT_EQ(kill(pid_, SIGCONT), 0);

  EXPECT_TRUE(HungUp(app)) << "the application's port was not hung up";
  EXPECT_LT(write(app, "x", 1), 0) << "writing to a pulled cable succeeded";
  EXPECT_TRUE(Eventually([&] { return !Exists(Com(3)); })) << "COM3 still exists";
  EXPECT_TRUE(IsPtyLink(Com(4))) << "the device end must stay";
  Close(app);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("plug " + std::to_string(round));
    dev = Plug(4, 3);
    app = Open(3);
    ASSERT_GE(app, 0) << strerror(errno);
    // Anything left over from before would arrive ahead of these.
    EXPECT_EQ(Exchange(app, dev, "fresh-to-device"), "fresh-to-device");
    EXPECT_EQ(Exchange(dev, app, "fresh-to-app"), "fresh-to-app");
    Close(dev);
    EXPECT_TRUE(HungUp(app));
    EXPECT_TRUE(Eventually([&] { return !Exists(Com(3)); }));
    Close(app);
  }
}

TEST_F(NullmodemTest, PairsAreIndependent) {
  Start();
  int dev4 = Plug(4, 3);
  int dev6 = Plug(6, 5);
  int app3 = Open(3), app5 = Open(5);
  ASSERT_GE(app3, 0);
  ASSERT_GE(app5, 0);
  EXPECT_EQ(Exchange(app3, dev4, "three"), "three");
  EXPECT_EQ(Exchange(app5, dev6, "five"), "five");
  Close(dev6);
  EXPECT_TRUE(HungUp(app5));
  EXPECT_TRUE(Eventually([&] { return !Exists(Com(5)); }));
  EXPECT_TRUE(IsPtyLink(Com(3)));
  EXPECT_EQ(Exchange(dev4, app3, "still here"), "still here");
}

TEST_F(NullmodemTest, AReceiverThatDoesNotReadLosesTheNewestBytesOnly) {
  Start();
  int dev = Plug(4, 3);
  int app = Open(3);
  ASSERT_GE(app, 0);
  // The device writes far more than the cable keeps while the application does not read.
  std::string sent = Pattern(512 * 1024, 3);
  size_t off = 0;
  auto end = Deadline(10000ms);
  while (off < sent.size() && Clock::now() < end) {
    pollfd p{dev, POLLOUT, 0};
    if (poll(&p, 1, RemainingMs(end)) != 1) break;
    ssize_t w = write(dev, sent.data() + off, sent.size() - off);
    if (w > 0) off += static_cast<size_t>(w);
  }
  ASSERT_EQ(off, sent.size()) << "the device was held up by a receiver that does not read";

  // Read until the cable has been quiet for a while.
  std::string got;
  for (;;) {
    pollfd p{app, POLLIN, 0};
    if (poll(&p, 1, 500) != 1) break;
    char buf[4096];
    ssize_t r = read(app, buf, sizeof buf);
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  EXPECT_GE(got.size(), 64u * 1024) << "less than the 64 KiB the cable keeps";
  EXPECT_LT(got.size(), sent.size() / 2) << "the cable kept everything";
  size_t kept = std::min<size_t>(got.size(), 64 * 1024);
  EXPECT_TRUE(got.compare(0, kept, sent, 0, kept) == 0) << "the oldest bytes must arrive";
  EXPECT_EQ(Exchange(app, dev, "after overrun"), "after overrun");
}

TEST_F(NullmodemTest, RoundTripsAreQuick) {
  Start();
  int dev = Plug(4, 3);
  int app = Open(3);
  ASSERT_GE(app, 0);
  constexpr int kRounds = 200;
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(Exchange(app, dev, "q"), "q");
    ASSERT_EQ(Exchange(dev, app, "a"), "a");
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  // Generous: a relay that waited for its tick or slept per transfer would need far longer.
  EXPECT_LT(ms, 4000) << kRounds << " round trips took " << ms << " ms";
  printf("%d round trips through the cable: %lld ms\n", kRounds, static_cast<long long>(ms));
}

// What Wine's mount manager and other programs do to dosdevices while the cable runs.
struct LinkCase {
  const char* name;
  bool plugged;      // the COM3/COM4 pair is plugged first
  int com;           // the link that is put in place
  bool viaRename;    // made under another name and renamed, else unlinked and made anew
  bool ours;         // the cable owns the name at that moment and restores it
};

class NullmodemLinkTest : public NullmodemTest, public testing::WithParamInterface<LinkCase> {};

TEST_P(NullmodemLinkTest, ForeignLinksGoAndReplacedLinksComeBack) {
  const LinkCase& c = GetParam();
  Start();
  if (c.plugged) Plug(4, 3);
  std::string path = Com(c.com);
  std::string before = ReadLink(path);
  ASSERT_EQ(!before.empty(), c.ours);
  if (c.viaRename) {
    std::string tmp = prefix_ + "/dosdevices/incoming";
    ASSERT_EQ(symlink("/dev/ttyS0", tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
  } else {
    unlink(path.c_str());
    ASSERT_EQ(symlink("/dev/ttyS0", path.c_str()), 0);
  }
  if (c.ours) {
    EXPECT_TRUE(Eventually([&] { return ReadLink(path) == before; })) << ReadLink(path);
  } else {
    EXPECT_TRUE(Eventually([&] { return !Exists(path); })) << "still " << ReadLink(path);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Nullmodem, NullmodemLinkTest,
    testing::Values(LinkCase{"ForeignCom1", false, 1, false, false},
                    LinkCase{"ForeignCom1Renamed", false, 1, true, false},
                    LinkCase{"ApplicationEndWhileUnplugged", false, 3, false, false},
                    LinkCase{"ApplicationEndWhilePlugged", true, 3, false, true},
                    LinkCase{"ApplicationEndWhilePluggedRenamed", true, 3, true, true},
                    LinkCase{"DeviceEnd", false, 4, false, true},
                    LinkCase{"DeviceEndRenamed", false, 6, true, true}),
    [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

class NullmodemStopTest : public NullmodemTest, public testing::WithParamInterface<int> {};

TEST_P(NullmodemStopTest, SignalRemovesAllLinksAndTheReadyFile) {
  Start();
  int dev = Plug(4, 3);
  int app = Open(3);
  ASSERT_GE(app, 0);
  kill(pid_, GetParam());
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_TRUE(ComLinks().empty()) << ComLinks().front();
  EXPECT_FALSE(Exists(readyFile_));
  EXPECT_TRUE(Exists(prefix_ + "/dosdevices/z:"));
  EXPECT_TRUE(HungUp(app, 1000ms));
  EXPECT_TRUE(HungUp(dev, 1000ms));
}

INSTANTIATE_TEST_SUITE_P(Nullmodem, NullmodemStopTest, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

struct ArgsCase {
  const char* name;
  std::vector<std::string> args;  // "@" stands for the prefix
  int status;
};

class NullmodemArgsTest : public NullmodemTest, public testing::WithParamInterface<ArgsCase> {};

TEST_P(NullmodemArgsTest, BadArgumentsFailWithoutTouchingDosdevices) {
  ASSERT_EQ(symlink("/dev/ttyS0", Com(1).c_str()), 0);
  std::vector<std::string> args = GetParam().args;
  for (std::string& a : args)
    if (a[0] == '@') a = prefix_ + a.substr(1);
  Spawn(args);
  EXPECT_EQ(WaitExit(), GetParam().status);
  EXPECT_EQ(ComLinks(), std::vector<std::string>{"com1"});
  EXPECT_FALSE(Exists(readyFile_));
}

INSTANTIATE_TEST_SUITE_P(
    Nullmodem, NullmodemArgsTest,
    testing::Values(
        ArgsCase{"NoArguments", {}, 2},
        ArgsCase{"NoPrefix", {"--pair", "3:4"}, 2},
        ArgsCase{"NoPair", {"--prefix", "@"}, 2},
        ArgsCase{"MissingValue", {"--prefix", "@", "--pair"}, 2},
        ArgsCase{"UnknownOption", {"--prefix", "@", "--pair", "3:4", "--baud", "9600"}, 2},
        ArgsCase{"ZeroPort", {"--prefix", "@", "--pair", "0:4"}, 2},
        ArgsCase{"PortAbove255", {"--prefix", "@", "--pair", "3:256"}, 2},
        ArgsCase{"NegativePort", {"--prefix", "@", "--pair", "-3:4"}, 2},
        ArgsCase{"NoColon", {"--prefix", "@", "--pair", "3-4"}, 2},
        ArgsCase{"MissingDevice", {"--prefix", "@", "--pair", "3:"}, 2},
        ArgsCase{"NotANumber", {"--prefix", "@", "--pair", "x:4"}, 2},
        ArgsCase{"TrailingJunk", {"--prefix", "@", "--pair", "3:4x"}, 2},
        ArgsCase{"SamePortTwiceInAPair", {"--prefix", "@", "--pair", "3:3"}, 2},
        ArgsCase{"PortInTwoPairs", {"--prefix", "@", "--pair", "3:4", "--pair", "4:5"}, 2},
        ArgsCase{"NoDosdevices", {"--prefix", "@/missing", "--pair", "3:4"}, 1}),
    [](const testing::TestParamInfo<ArgsCase>& info) { return std::string(info.param.name); });

}  // namespace
