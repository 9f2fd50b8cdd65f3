// The simulator from the host side: what the Windows tests cannot see (link housekeeping,
// control connection handling, cleanup on exit). Plays the Windows side by opening the
// comN pty directly. The simulator binary is named by the DEVSIM environment variable.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string ReadLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

bool Exists(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0;
}

// Polls `done` for up to `limit`; the simulator reacts to file system events asynchronously.
template <typename Fn>
bool Eventually(Fn done, std::chrono::milliseconds limit = 3000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

// PIDs of the socat processes serving a link below `dir`.
std::vector<int> SocatsFor(const std::string& dir) {
  std::vector<int> pids;
  DIR* d = opendir("/proc");
  if (!d) return pids;
  while (dirent* e = readdir(d)) {
    int pid = atoi(e->d_name);
    if (pid <= 0) continue;
    FILE* f = fopen(("/proc/" + std::string(e->d_name) + "/cmdline").c_str(), "r");
    if (!f) continue;
    char buf[4096];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    for (size_t i = 0; i < n; ++i)
      if (buf[i] == 0) buf[i] = ' ';
    buf[n] = 0;
    if (strncmp(buf, "socat ", 6) == 0 && strstr(buf, dir.c_str())) pids.push_back(pid);
  }
  closedir(d);
  return pids;
}

struct Control {
  int fd = -1;
  std::string pending;

  bool Connect(int port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  bool Send(const std::string& text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  std::string ReadLine() {
    for (;;) {
      size_t nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return line;
      }
      char buf[4096];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return "<closed>";
      pending.append(buf, static_cast<size_t>(n));
    }
  }
  std::string Cmd(const std::string& line) { return Send(line + "\n") ? ReadLine() : "<closed>"; }
};

class DevsimTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = getenv("DEVSIM");
    ASSERT_NE(bin, nullptr) << "DEVSIM must name the simulator binary";
    binary_ = bin;
    std::string tmpl = (std::filesystem::temp_directory_path() / "devsim-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    prefix_ = root_ + "/prefix";
    ASSERT_EQ(mkdir(prefix_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((prefix_ + "/dosdevices").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/", (prefix_ + "/dosdevices/z:").c_str()), 0);
  }

  void TearDown() override {
    control_.Close();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int pid : SocatsFor(root_)) kill(pid, SIGKILL);
    std::string cmd = "rm -rf '" + root_ + "'";
    if (!root_.empty() && system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << root_;
  }

  void Start() {
    portFile_ = root_ + "/port";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      std::string run = root_ + "/run";
      execl(binary_.c_str(), binary_.c_str(), "--control-port", "0", "--port-file",
            portFile_.c_str(), "--prefix", prefix_.c_str(), "--rundir", run.c_str(), nullptr);
      _exit(127);
    }
    ASSERT_TRUE(Eventually([&] { return Exists(portFile_); }, 10000ms)) << "no port file";
    FILE* f = fopen(portFile_.c_str(), "r");
    ASSERT_NE(f, nullptr);
    int port = 0;
    int fields = fscanf(f, "%d", &port);
    fclose(f);
    ASSERT_EQ(fields, 1);
    port_ = port;
    ASSERT_TRUE(control_.Connect(port_));
  }

  // Exit status of the simulator, or -1 when it does not end within 5 s.
  int WaitExit() {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  std::string Com(int n) { return prefix_ + "/dosdevices/com" + std::to_string(n); }

  std::string binary_, root_, prefix_, portFile_;
  pid_t pid_ = -1;
  int port_ = 0;
  Control control_;
};

TEST_F(DevsimTest, StartRemovesComLinksItDidNotMake) {
  ASSERT_EQ(symlink("/dev/null", Com(1).c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", Com(15).c_str()), 0);
  Start();
  EXPECT_FALSE(Exists(Com(1)));
  EXPECT_FALSE(Exists(Com(15)));
  EXPECT_TRUE(Exists(prefix_ + "/dosdevices/z:"));
}

TEST_F(DevsimTest, ForeignLinksAreRemovedAndReplacedLinksRestored) {
  Start();
  ASSERT_EQ(control_.Cmd("add 2"), "ok");
  std::string own = ReadLink(Com(2));
  ASSERT_EQ(own.rfind("/dev/pts/", 0), 0u) << own;

  // What Wine's mount manager does when its services start on a host with serial ports.
  ASSERT_EQ(symlink("/dev/null", Com(3).c_str()), 0);
  ASSERT_EQ(unlink(Com(2).c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", Com(2).c_str()), 0);
  EXPECT_TRUE(Eventually([&] { return !Exists(Com(3)); }));
  EXPECT_TRUE(Eventually([&] { return ReadLink(Com(2)) == own; }));
}

TEST_F(DevsimTest, PipelinedCommandsWaitForAddAndOtherConnectionsAreServed) {
  Start();
  Control other;
  ASSERT_TRUE(other.Connect(port_));
  ASSERT_TRUE(control_.Send("add 4\nbehave 4 mode=identify version=27\nevents 4\n"));
  EXPECT_EQ(other.Cmd("now").rfind("ok ", 0), 0u);
  EXPECT_EQ(control_.ReadLine(), "ok");
  EXPECT_EQ(control_.ReadLine(), "ok");
  EXPECT_NE(control_.ReadLine().find(":added"), std::string::npos);
  other.Close();

  int fd = open(Com(4).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "\x02\x01\x0a\x03", 4), 4);
  std::string got;
  while (got.size() < 20) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  ASSERT_EQ(got.size(), 20u);
  EXPECT_EQ(static_cast<uint8_t>(got[14]), 27);  // payload byte 11
}

TEST_F(DevsimTest, CableThatDiesOnItsOwnIsLoggedAsLost) {
  Start();
  ASSERT_EQ(control_.Cmd("add 6"), "ok");
  std::vector<int> socats = SocatsFor(Com(6));
  ASSERT_EQ(socats.size(), 1u);
  kill(socats[0], SIGKILL);
  EXPECT_TRUE(Eventually([&] {
    return control_.Cmd("events 6").find(":lost") != std::string::npos;
  }));
  EXPECT_EQ(control_.Cmd("behave 6 mode=identify").rfind("err ", 0), 0u);
  EXPECT_EQ(control_.Cmd("add 6"), "ok") << "the port can be added again";
}

TEST_F(DevsimTest, FlushDropsBytesNobodyReadYet) {
  Start();
  ASSERT_EQ(control_.Cmd("add 7"), "ok");
  ASSERT_EQ(control_.Cmd("behave 7 mode=identify"), "ok");
  int fd = open(Com(7).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "\x02\x01\x0a\x03", 4), 4);
  // The reply is on its way to the Windows side but nobody reads it.
  ASSERT_TRUE(Eventually([&] {
    return control_.Cmd("events 7").find(":reply") != std::string::npos;
  }));
  pollfd p{fd, POLLIN, 0};
  ASSERT_TRUE(Eventually([&] { return poll(&p, 1, 0) == 1; }));
  ASSERT_EQ(control_.Cmd("flush 7"), "ok");
  EXPECT_EQ(poll(&p, 1, 200), 0) << "reply still readable after flush";

  ASSERT_EQ(write(fd, "\x02\x01\x0a\x03", 4), 4);
  EXPECT_EQ(poll(&p, 1, 3000), 1) << "port does not answer after flush";
  close(fd);
}

class DevsimStopTest : public DevsimTest, public testing::WithParamInterface<const char*> {};

TEST_P(DevsimStopTest, StoppingRemovesPortsLinksAndPortFile) {
  Start();
  ASSERT_EQ(control_.Cmd("add 5"), "ok");
  ASSERT_EQ(control_.Cmd("add 20"), "ok");
  ASSERT_EQ(SocatsFor(root_).size(), 2u);
  std::string how = GetParam();
  if (how == "quit") EXPECT_EQ(control_.Cmd("quit"), "ok");
  else kill(pid_, how == "SIGTERM" ? SIGTERM : SIGINT);
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_FALSE(Exists(Com(5)));
  EXPECT_FALSE(Exists(Com(20)));
  EXPECT_FALSE(Exists(root_ + "/run/dev5"));
  EXPECT_FALSE(Exists(portFile_));
  EXPECT_TRUE(Eventually([&] { return SocatsFor(root_).empty(); }));
}

INSTANTIATE_TEST_SUITE_P(Devsim, DevsimStopTest, testing::Values("quit", "SIGTERM", "SIGINT"));

}  // namespace
