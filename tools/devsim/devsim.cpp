// Device simulator for Wine: the far end of the virtual COM ports that the Windows tests open
// under Wine. The devices and the control protocol are in devsim_core; this file makes the
// cables and does the I/O.
//
// Each port is a socat pair of ptys: PREFIX/dosdevices/comN (what Wine opens as COMN) and
// RUNDIR/devN (the device side, served here). One thread, one poll loop: every reaction is
// driven by I/O readiness or a poll timeout.
//
// The control protocol is described in devsim_core.h.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <string_view>
#include <vector>

#include "devsim_core.h"

namespace {

constexpr int64_t kAddTimeoutUs = 5'000'000;

int64_t ClockMicros(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// The cable of one port: socat joining the comN pty and the device's pty.
struct Cable {
  pid_t socat = -1;
  int devFd = -1;
  int holdFd = -1;
  std::string comLink, devLink, ptyTarget;
  int64_t startDeadline = 0;
};

struct Host {
  std::string prefix, rundir, portFile;
  int listenFd = -1, signalFd = -1, inotifyFd = -1;
  Cable cables[kMaxPort + 1];
  Sim sim;
};

Host host;

std::string ComLinkPath(int n) { return host.prefix + "/dosdevices/com" + std::to_string(n); }

// Returns the number N of a "comN" name, or 0.
int ComNumber(const char* name) {
  if (strncasecmp(name, "com", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  long v = 0;
  for (const char* p = name + 3; *p; ++p) {
    if (*p < '0' || *p > '9' || v > 100000) return 0;
    v = v * 10 + (*p - '0');
  }
  return static_cast<int>(v);
}

std::string ReadLink(const std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  if (n < 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// socat ends within a few milliseconds of SIGTERM. Waiting for it here keeps remove and hangup
// synchronous: when the reply says ok, the port is gone for the Windows side.
void ReapSocat(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    timespec ms{0, 1'000'000};
    nanosleep(&ms, nullptr);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool SpawnSocat(Cable& k) {
  std::string a = "pty,raw,echo=0,link=" + k.comLink;
  std::string b = "pty,raw,echo=0,link=" + k.devLink;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    // If the simulator is killed outright, its cables go with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    char* argv[] = {const_cast<char*>("socat"), a.data(), b.data(), nullptr};
    execvp("socat", argv);
    _exit(127);
  }
  k.socat = pid;
  return true;
}

// Called while a port is starting: completes "add" once socat has made both links.
void CheckStarting(int n, int64_t mono) {
  Cable& k = host.cables[n];
  struct stat st{};
  bool linked = lstat(k.comLink.c_str(), &st) == 0 && lstat(k.devLink.c_str(), &st) == 0;
  if (!linked) {
    int status = 0;
    if (waitpid(k.socat, &status, WNOHANG) == k.socat) {
      k.socat = -1;
      PortFailed(host.sim, n, "socat exited");
    } else if (mono > k.startDeadline) {
      PortFailed(host.sim, n, "socat made no links");
    }
    return;
  }
  k.devFd = open(k.devLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Kept open and never read: when the Windows side closes the port, the pty still has a
  // user, so socat sees no EOF and the port survives for the next open.
  k.holdFd = open(k.comLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  if (k.devFd < 0 || k.holdFd < 0 || tcgetattr(k.devFd, &t) != 0) {
    PortFailed(host.sim, n, "cannot open pty");
    return;
  }
  cfmakeraw(&t);
  tcsetattr(k.devFd, TCSANOW, &t);
  k.ptyTarget = ReadLink(k.comLink);
  fprintf(stderr, "devsim: COM%d added (%s)\n", n, k.ptyTarget.c_str());
  PortReady(host.sim, n);
}

void ReadDevice(int n) {
  Cable& k = host.cables[n];
  uint8_t buf[4096];
  for (;;) {
    ssize_t r = read(k.devFd, buf, sizeof buf);
    if (r > 0) {
      OnDeviceBytes(host.sim, n, buf, static_cast<size_t>(r), RealMicros(), MonoMicros());
      if (host.sim.ports[n].state != PortState::Ready) return;
      continue;
    }
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // EOF or EIO on the device side: socat is gone although nobody asked for it.
    Teardown(host.sim, n, "lost");
    return;
  }
}

// Wine's mount manager links comN to the host's serial devices when its services start,
// which may happen after the simulator has set up its ports; such links are removed, and
// a managed port whose link was replaced gets its own link back.
void GuardLink(const char* name) {
  int n = ComNumber(name);
  if (n == 0) return;
  std::string path = host.prefix + "/dosdevices/" + name;
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
  if (n <= kMaxPort && host.sim.ports[n].state == PortState::Starting) return;
  if (n <= kMaxPort && host.sim.ports[n].state == PortState::Ready) {
    const Cable& k = host.cables[n];
    std::string target = ReadLink(path);
    if (target == k.ptyTarget) return;
    std::string tmp = path + ".devsim";
    unlink(tmp.c_str());
    if (symlink(k.ptyTarget.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), path.c_str()) == 0)
      fprintf(stderr, "devsim: %s pointed to %s, restored\n", name, target.c_str());
    return;
  }
  unlink(path.c_str());
  fprintf(stderr, "devsim: removed foreign link %s\n", name);
}

void DrainInotify() {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t r = read(host.inotifyFd, buf, sizeof buf);
    if (r <= 0) return;
    for (ssize_t off = 0; off < r;) {
      auto* ev = reinterpret_cast<inotify_event*>(buf + off);
      if (ev->len > 0) GuardLink(ev->name);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}

void RemoveComLinks() {
  std::string dir = host.prefix + "/dosdevices";
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (strncasecmp(e->d_name, "com", 3) != 0) continue;
    std::string path = dir + "/" + e->d_name;
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(path.c_str());
  }
  closedir(d);
}

void AcceptConns() {
  for (;;) {
    int fd = accept4(host.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Conn c;
    c.sock = fd;
    c.id = host.sim.nextConnId++;
    host.sim.conns.push_back(std::move(c));
  }
}

bool WritePortFile(int port) {
  std::string tmp = host.portFile + ".tmp" + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = fprintf(f, "%d\n", port) > 0;
  ok = fclose(f) == 0 && ok;
  return ok && rename(tmp.c_str(), host.portFile.c_str()) == 0;
}

bool Listen(int port) {
  host.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (host.listenFd < 0) return false;
  int one = 1;
  setsockopt(host.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(host.listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  if (listen(host.listenFd, 16) != 0) return false;
  socklen_t len = sizeof a;
  if (getsockname(host.listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
  int chosen = ntohs(a.sin_port);
  fprintf(stderr, "devsim: control port %d\n", chosen);
  return host.portFile.empty() || WritePortFile(chosen);
}

bool SetUp(int controlPort) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  host.signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (host.signalFd < 0) return false;
  std::string dosdevices = host.prefix + "/dosdevices";
  host.inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (host.inotifyFd < 0 ||
      inotify_add_watch(host.inotifyFd, dosdevices.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
    fprintf(stderr, "devsim: cannot watch %s: %s\n", dosdevices.c_str(), strerror(errno));
    return false;
  }
  mkdir(host.rundir.c_str(), 0755);
  RemoveComLinks();
  for (int n = 1; n <= kMaxPort; ++n) unlink((host.rundir + "/dev" + std::to_string(n)).c_str());
  return Listen(controlPort);
}

void Loop() {
  std::vector<pollfd> fds;
  std::vector<int> owner;  // >0: port number, <0: -(connection index + 1), 0: fixed fds
  while (!host.sim.quit) {
    fds.clear();
    owner.clear();
    fds.push_back({host.listenFd, POLLIN, 0});
    fds.push_back({host.signalFd, POLLIN, 0});
    fds.push_back({host.inotifyFd, POLLIN, 0});
    owner.insert(owner.end(), {0, 0, 0});
    for (int n = 1; n <= kMaxPort; ++n) {
      const DevicePort& p = host.sim.ports[n];
      if (p.state != PortState::Ready) continue;
      short ev = static_cast<short>(POLLIN | (p.out.empty() ? 0 : POLLOUT));
      fds.push_back({host.cables[n].devFd, ev, 0});
      owner.push_back(n);
    }
    for (size_t i = 0; i < host.sim.conns.size(); ++i) {
      const Conn& c = host.sim.conns[i];
      short ev = c.waitingPort ? 0 : POLLIN;
      if (!c.out.empty()) ev |= POLLOUT;
      fds.push_back({static_cast<int>(c.sock), ev, 0});
      owner.push_back(-static_cast<int>(i) - 1);
    }
    int64_t due = NextDue(host.sim, MonoMicros());
    timespec ts{};
    timespec* timeout = nullptr;
    if (due != INT64_MAX) {
      int64_t wait = std::max<int64_t>(0, due - MonoMicros());
      ts.tv_sec = wait / 1'000'000;
      ts.tv_nsec = (wait % 1'000'000) * 1000;
      timeout = &ts;
    }
    if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR) {
      perror("devsim: poll");
      return;
    }
    if (fds[1].revents) {
      signalfd_siginfo si{};
      if (read(host.signalFd, &si, sizeof si) > 0) {
        fprintf(stderr, "devsim: signal %u\n", si.ssi_signo);
        host.sim.quit = true;
      }
    }
    if (fds[2].revents) DrainInotify();
    for (size_t i = 3; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      if (owner[i] > 0) {
        int n = owner[i];
        if (host.sim.ports[n].state != PortState::Ready || host.cables[n].devFd != fds[i].fd)
          continue;
        if (fds[i].revents & POLLOUT) CableWrite(host.sim, n);
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadDevice(n);
      } else if (owner[i] < 0) {
        Conn& c = host.sim.conns[static_cast<size_t>(-owner[i] - 1)];
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadConn(host.sim, c);
      }
    }
    if (fds[0].revents) AcceptConns();
    int64_t mono = MonoMicros();
    for (int n = 1; n <= kMaxPort; ++n) {
      if (host.sim.ports[n].state == PortState::Starting) CheckStarting(n, mono);
      else if (host.sim.ports[n].state == PortState::Ready) RunSteps(host.sim, n, mono);
    }
    for (Conn& c : host.sim.conns) {
      // An "add" may have completed: the lines queued behind it go on now.
      if (!c.dead && c.waitingPort == 0) ProcessLines(host.sim, c);
      if (!c.dead) FlushConn(c);
    }
    std::erase_if(host.sim.conns, [](Conn& c) {
      if (c.dead) close(static_cast<int>(c.sock));
      return c.dead;
    });
  }
}

void Shutdown() {
  for (Conn& c : host.sim.conns) {
    FlushConn(c);
    close(static_cast<int>(c.sock));
  }
  host.sim.conns.clear();
  TeardownAll(host.sim);
  if (!host.portFile.empty()) unlink(host.portFile.c_str());
}

int Usage() {
  fprintf(stderr,
          "usage: devsim --prefix WINEPREFIX --rundir DIR [--control-port N] [--port-file FILE]\n");
  return 2;
}

}  // namespace

int64_t RealMicros() { return ClockMicros(CLOCK_REALTIME); }
int64_t MonoMicros() { return ClockMicros(CLOCK_MONOTONIC); }

bool CableStart(Sim&, int n, std::string* error) {
  Cable& k = host.cables[n];
  k.comLink = ComLinkPath(n);
  k.devLink = host.rundir + "/dev" + std::to_string(n);
  unlink(k.comLink.c_str());
  unlink(k.devLink.c_str());
  if (!SpawnSocat(k)) {
    *error = "fork failed";
    return false;
  }
  k.startDeadline = MonoMicros() + kAddTimeoutUs;
  return true;
}

// Pulls the cable: socat goes away with both pty masters, so whatever Wine has open on
// the COM port side is hung up, and the COM port no longer exists for the next open.
void CableStop(Sim&, int n) {
  Cable& k = host.cables[n];
  ReapSocat(k.socat);
  CloseFd(k.devFd);
  CloseFd(k.holdFd);
  unlink(k.comLink.c_str());
  unlink(k.devLink.c_str());
  k.socat = -1;
}

void CableWrite(Sim& sim, int n) {
  std::vector<uint8_t>& out = sim.ports[n].out;
  while (!out.empty()) {
    ssize_t w = write(host.cables[n].devFd, out.data(), out.size());
    if (w <= 0) return;
    out.erase(out.begin(), out.begin() + w);
  }
}

void CableFlood(Sim&, int n, const std::vector<uint8_t>& bytes) {
  ssize_t w = write(host.cables[n].devFd, bytes.data(), bytes.size());
  (void)w;
}

int64_t ConnSend(Conn& c, const char* data, size_t size) {
  ssize_t w = send(static_cast<int>(c.sock), data, size, MSG_NOSIGNAL);
  if (w < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return w > 0 ? w : -1;
}

int64_t ConnRecv(Conn& c, char* buf, size_t size) {
  ssize_t r = recv(static_cast<int>(c.sock), buf, size, 0);
  if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return r > 0 ? r : -1;  // 0: the peer closed
}

// Both ends of the pty pair: unread by the Windows side or by the device.
void CableFlush(Sim&, int n) {
  tcflush(host.cables[n].holdFd, TCIOFLUSH);
  tcflush(host.cables[n].devFd, TCIOFLUSH);
}

int main(int argc, char** argv) {
  int64_t controlPort = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* v = argv[++i];
    if (a == "--prefix") host.prefix = v;
    else if (a == "--rundir") host.rundir = v;
    else if (a == "--port-file") host.portFile = v;
    else if (a == "--control-port") {
      if (!ParseInt(v, 0, 65535, &controlPort)) return Usage();
    } else {
      return Usage();
    }
  }
  if (host.prefix.empty() || host.rundir.empty()) return Usage();
  if (!SetUp(static_cast<int>(controlPort))) {
    fprintf(stderr, "devsim: setup failed: %s\n", strerror(errno));
    Shutdown();
    return 1;
  }
  Loop();
  Shutdown();
  fprintf(stderr, "devsim: stopped\n");
  return 0;
}
