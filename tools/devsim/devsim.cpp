// Device simulator: the far end of the virtual COM ports that the Windows tests open under Wine.
//
// Each port is a socat pair of ptys: PREFIX/dosdevices/comN (what Wine opens as COMN) and
// RUNDIR/devN (the device side, served here). One thread, one poll loop: every reaction is
// driven by I/O readiness or a poll timeout.
//
// Control: TCP on 127.0.0.1, one command per line, exactly one reply line per command,
// "ok ..." or "err <reason>". N is a port number 1..20. Timestamps are microseconds since
// 1970 (CLOCK_REALTIME), the same clock as the Windows side's system time.
//   add N / remove N     create / delete COMN (add answers once the port can be opened)
//   hangup N             like remove, logged as a pulled cable
//   reset                remove all ports, clear all logs
//   behave N k=v ...     replace the port's behaviour; keys not given take their defaults:
//     mode=silent|identify|raw|flood  version=15 sig=PSU b0=0 len=16 delay=0 (ms)
//     stray=HEX chunk=N gap=0 (ms) repeat=1 repeatgap=0 (ms) raw=HEX onidentify=reply|hangup
//     dfu=ignore|hangup dfudelay=0 (ms) dfuraw=HEX rate=5000 (flood bytes/s)
//     Replies still scheduled from the previous behaviour are dropped.
//   frames N             "ok <us>:<hex> ...": command frames received, stamped at their last byte
//   rx N                 "ok <us>:<hex> ...": raw chunks as read
//   events N             "ok <us>:<word> ...": added reply dfu hangup removed, and lost when
//                        socat went away on its own
//   clear N              clear the port's logs (they survive remove and hangup, not add)
//   flush N              drop bytes still in the cable, unread by either side
//   now                  "ok <us>"
//   quit                 stop: all ports are removed (as on SIGTERM, SIGINT, SIGHUP)

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

#include "devsim_proto.h"

namespace {

constexpr int kMaxPort = 20;
constexpr int64_t kAddTimeoutUs = 5'000'000;
constexpr int64_t kLinkCheckUs = 2'000;
constexpr int64_t kFloodTickUs = 5'000;
constexpr size_t kMaxLine = 64 * 1024;

int64_t ClockMicros(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}
// Log timestamps: wall clock, because the Windows side compares them with its system time.
int64_t RealMicros() { return ClockMicros(CLOCK_REALTIME); }
// Scheduling: immune to wall clock steps.
int64_t MonoMicros() { return ClockMicros(CLOCK_MONOTONIC); }

struct Entry {
  int64_t us;
  std::string text;
};

struct PortLog {
  std::vector<Entry> frames, rx, events;
  void Clear() { frames.clear(); rx.clear(); events.clear(); }
};

// One scheduled device action: bytes to send, or the cable to pull.
struct Step {
  int64_t due;
  bool hangup;
  bool replyStart;
  std::vector<uint8_t> bytes;
};

enum class PortState { Absent, Starting, Ready };

struct Port {
  PortState state = PortState::Absent;
  pid_t socat = -1;
  int devFd = -1;
  int holdFd = -1;
  std::string comLink, devLink, ptyTarget;
  int64_t startDeadline = 0;
  uint64_t waiter = 0;  // control connection waiting for the "add" reply
  Behaviour behaviour;
  std::vector<uint8_t> parse, out;
  std::vector<Step> steps;
  int64_t floodStart = 0, floodSent = 0;
  uint64_t rng = 0x9e3779b97f4a7c15ull;

  void ClearTraffic() { parse.clear(); out.clear(); steps.clear(); }
};

struct Conn {
  int fd = -1;
  uint64_t id = 0;
  std::string in, out;
  int waitingPort = 0;
  bool dead = false;
};

struct Sim {
  std::string prefix, rundir, portFile;
  int listenFd = -1, signalFd = -1, inotifyFd = -1;
  Port ports[kMaxPort + 1];
  PortLog logs[kMaxPort + 1];
  std::vector<Conn> conns;
  uint64_t nextConnId = 1;
  bool quit = false;
};

std::string Hex(const uint8_t* d, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[d[i] >> 4];
    s += kDigits[d[i] & 15];
  }
  return s;
}

void AddEvent(Sim& sim, int n, const char* word) {
  sim.logs[n].events.push_back({RealMicros(), word});
}

std::string ComLinkPath(const Sim& sim, int n) {
  return sim.prefix + "/dosdevices/com" + std::to_string(n);
}

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

// Pulls the cable: socat goes away with both pty masters, so whatever Wine has open on
// the COM port side is hung up, and the COM port no longer exists for the next open.
void Teardown(Sim& sim, int n, const char* word) {
  Port& p = sim.ports[n];
  if (p.state == PortState::Absent) return;
  ReapSocat(p.socat);
  CloseFd(p.devFd);
  CloseFd(p.holdFd);
  unlink(p.comLink.c_str());
  unlink(p.devLink.c_str());
  p.socat = -1;
  p.state = PortState::Absent;
  p.ClearTraffic();
  if (word) AddEvent(sim, n, word);
  fprintf(stderr, "devsim: COM%d %s\n", n, word ? word : "dropped");
}

Conn* FindConn(Sim& sim, uint64_t id) {
  for (Conn& c : sim.conns)
    if (c.id == id && !c.dead) return &c;
  return nullptr;
}

void Reply(Conn& c, std::string_view text) {
  c.out.append(text);
  c.out += '\n';
}

void FinishAdd(Sim& sim, int n, std::string_view reply) {
  Port& p = sim.ports[n];
  if (Conn* c = FindConn(sim, p.waiter)) {
    Reply(*c, reply);
    c->waitingPort = 0;
  }
  p.waiter = 0;
}

bool SpawnSocat(Sim& sim, int n) {
  Port& p = sim.ports[n];
  std::string a = "pty,raw,echo=0,link=" + p.comLink;
  std::string b = "pty,raw,echo=0,link=" + p.devLink;
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
  p.socat = pid;
  return true;
}

// Called while a port is starting: completes "add" once socat has made both links.
void CheckStarting(Sim& sim, int n, int64_t mono) {
  Port& p = sim.ports[n];
  struct stat st{};
  bool linked = lstat(p.comLink.c_str(), &st) == 0 && lstat(p.devLink.c_str(), &st) == 0;
  if (!linked) {
    int status = 0;
    if (waitpid(p.socat, &status, WNOHANG) == p.socat) {
      p.socat = -1;
      Teardown(sim, n, nullptr);
      FinishAdd(sim, n, "err socat exited");
    } else if (mono > p.startDeadline) {
      Teardown(sim, n, nullptr);
      FinishAdd(sim, n, "err socat made no links");
    }
    return;
  }
  p.devFd = open(p.devLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Kept open and never read: when the Windows side closes the port, the pty still has a
  // user, so socat sees no EOF and the port survives for the next open.
  p.holdFd = open(p.comLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  if (p.devFd < 0 || p.holdFd < 0 || tcgetattr(p.devFd, &t) != 0) {
    Teardown(sim, n, nullptr);
    FinishAdd(sim, n, "err cannot open pty");
    return;
  }
  cfmakeraw(&t);
  tcsetattr(p.devFd, TCSANOW, &t);
  p.ptyTarget = ReadLink(p.comLink);
  p.state = PortState::Ready;
  p.behaviour = Behaviour{};
  p.rng ^= static_cast<uint64_t>(RealMicros()) * 2654435761u + static_cast<uint64_t>(n);
  AddEvent(sim, n, "added");
  fprintf(stderr, "devsim: COM%d added (%s)\n", n, p.ptyTarget.c_str());
  FinishAdd(sim, n, "ok");
}

void FlushOut(Port& p) {
  while (!p.out.empty()) {
    ssize_t w = write(p.devFd, p.out.data(), p.out.size());
    if (w <= 0) return;
    p.out.erase(p.out.begin(), p.out.begin() + w);
  }
}

void Schedule(Port& p, Step step) {
  auto at = std::upper_bound(p.steps.begin(), p.steps.end(), step.due,
                             [](int64_t due, const Step& s) { return due < s.due; });
  p.steps.insert(at, std::move(step));
}

void ScheduleReply(Port& p, int64_t frameMono) {
  const Behaviour& b = p.behaviour;
  std::vector<uint8_t> unit = b.stray;
  std::vector<uint8_t> body = b.mode == Mode::Raw ? b.raw : IdentityFrame(b);
  unit.insert(unit.end(), body.begin(), body.end());
  int64_t t = frameMono + int64_t{b.delayMs} * 1000;
  size_t chunk = b.chunk > 0 ? static_cast<size_t>(b.chunk) : std::max<size_t>(unit.size(), 1);
  for (int r = 0; r < b.repeat; ++r) {
    if (r > 0) t += int64_t{b.repeatGapMs} * 1000;
    size_t off = 0;
    do {
      size_t len = std::min(chunk, unit.size() - off);
      Schedule(p, {t, false, off == 0,
                   std::vector<uint8_t>(unit.begin() + static_cast<long>(off),
                                        unit.begin() + static_cast<long>(off + len))});
      off += len;
      if (off < unit.size()) t += int64_t{b.gapMs} * 1000;
    } while (off < unit.size());
  }
}

void OnFrame(Sim& sim, int n, const uint8_t* f, int64_t mono) {
  Port& p = sim.ports[n];
  const Behaviour& b = p.behaviour;
  if (b.mode == Mode::Flood) return;
  if (f[1] != 0x01) return;
  if (f[2] == kCmdIdentify) {
    if (b.hangupOnIdentify) {
      Schedule(p, {mono + int64_t{b.delayMs} * 1000, true, false, {}});
    } else if (b.mode == Mode::Identify || b.mode == Mode::Raw) {
      ScheduleReply(p, mono);
    }
  } else if (f[2] == kCmdBootloader) {
    AddEvent(sim, n, "dfu");
    if (!b.dfuRaw.empty()) Schedule(p, {mono, false, false, b.dfuRaw});
    if (b.dfuHangup) Schedule(p, {mono + int64_t{b.dfuDelayMs} * 1000, true, false, {}});
  }
}

void OnDeviceBytes(Sim& sim, int n, const uint8_t* d, size_t len, int64_t us, int64_t mono) {
  Port& p = sim.ports[n];
  sim.logs[n].rx.push_back({us, Hex(d, len)});
  p.parse.insert(p.parse.end(), d, d + len);
  size_t i = 0;
  while (i < p.parse.size()) {
    if (p.parse[i] != 0x02) { ++i; continue; }
    if (p.parse.size() - i < 4) break;
    const uint8_t* f = &p.parse[i];
    if (f[3] != 0x03) { ++i; continue; }  // not a frame: resync on the next 0x02
    sim.logs[n].frames.push_back({us, Hex(f, 4)});
    OnFrame(sim, n, f, mono);
    i += 4;
  }
  p.parse.erase(p.parse.begin(), p.parse.begin() + static_cast<long>(i));
}

void ReadDevice(Sim& sim, int n) {
  Port& p = sim.ports[n];
  uint8_t buf[4096];
  for (;;) {
    ssize_t r = read(p.devFd, buf, sizeof buf);
    if (r > 0) {
      OnDeviceBytes(sim, n, buf, static_cast<size_t>(r), RealMicros(), MonoMicros());
      if (p.state != PortState::Ready) return;
      continue;
    }
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // EOF or EIO on the device side: socat is gone although nobody asked for it.
    Teardown(sim, n, "lost");
    return;
  }
}

void RunFlood(Port& p, int64_t mono) {
  const Behaviour& b = p.behaviour;
  int64_t target = (mono - p.floodStart) * b.rate / 1'000'000;
  int64_t count = target - p.floodSent;
  if (count <= 0) return;
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min<int64_t>(count, 65536)));
  for (uint8_t& v : bytes) {
    p.rng ^= p.rng << 13;
    p.rng ^= p.rng >> 7;
    p.rng ^= p.rng << 17;
    v = static_cast<uint8_t>(p.rng >> 24);
  }
  // A UART keeps sending whether or not anyone reads: what does not fit is lost.
  if (p.out.empty()) {
    ssize_t w = write(p.devFd, bytes.data(), bytes.size());
    (void)w;
  }
  p.floodSent = target;
}

int64_t FloodDue(const Port& p) {
  int64_t next = p.floodStart + (p.floodSent + 1) * 1'000'000 / p.behaviour.rate;
  return next;
}

// Runs what is due on port n; returns false when the port went away.
bool RunSteps(Sim& sim, int n, int64_t mono) {
  Port& p = sim.ports[n];
  while (!p.steps.empty() && p.steps.front().due <= mono) {
    Step s = std::move(p.steps.front());
    p.steps.erase(p.steps.begin());
    if (s.hangup) {
      Teardown(sim, n, "hangup");
      return false;
    }
    if (s.replyStart) AddEvent(sim, n, "reply");
    p.out.insert(p.out.end(), s.bytes.begin(), s.bytes.end());
    FlushOut(p);
  }
  if (p.behaviour.mode == Mode::Flood) RunFlood(p, mono);
  return true;
}

// Wine's mount manager links comN to the host's serial devices when its services start,
// which may happen after the simulator has set up its ports; such links are removed, and
// a managed port whose link was replaced gets its own link back.
void GuardLink(Sim& sim, const char* name) {
  int n = ComNumber(name);
  if (n == 0) return;
  std::string path = sim.prefix + "/dosdevices/" + name;
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
  if (n <= kMaxPort && sim.ports[n].state == PortState::Starting) return;
  if (n <= kMaxPort && sim.ports[n].state == PortState::Ready) {
    const Port& p = sim.ports[n];
    std::string target = ReadLink(path);
    if (target == p.ptyTarget) return;
    std::string tmp = path + ".devsim";
    unlink(tmp.c_str());
    if (symlink(p.ptyTarget.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), path.c_str()) == 0)
      fprintf(stderr, "devsim: %s pointed to %s, restored\n", name, target.c_str());
    return;
  }
  unlink(path.c_str());
  fprintf(stderr, "devsim: removed foreign link %s\n", name);
}

void DrainInotify(Sim& sim) {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t r = read(sim.inotifyFd, buf, sizeof buf);
    if (r <= 0) return;
    for (ssize_t off = 0; off < r;) {
      auto* ev = reinterpret_cast<inotify_event*>(buf + off);
      if (ev->len > 0) GuardLink(sim, ev->name);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}

void RemoveComLinks(const Sim& sim) {
  std::string dir = sim.prefix + "/dosdevices";
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

std::string LogReply(const std::vector<Entry>& entries) {
  std::string s = "ok";
  for (const Entry& e : entries) {
    char ts[32];
    snprintf(ts, sizeof ts, " %lld:", static_cast<long long>(e.us));
    s += ts;
    s += e.text;
  }
  return s;
}

// Handles one control line; returns false when the reply comes later ("add").
bool Command(Sim& sim, Conn& c, std::string_view line, std::string& reply) {
  std::vector<std::string_view> words = SplitWords(line);
  if (words.empty()) { reply = "err empty command"; return true; }
  std::string_view cmd = words[0];
  if (cmd == "now" && words.size() == 1) {
    reply = "ok " + std::to_string(RealMicros());
    return true;
  }
  if (cmd == "quit" && words.size() == 1) {
    sim.quit = true;
    reply = "ok";
    return true;
  }
  if (cmd == "reset" && words.size() == 1) {
    for (int n = 1; n <= kMaxPort; ++n) {
      if (sim.ports[n].state == PortState::Starting) FinishAdd(sim, n, "err reset");
      Teardown(sim, n, nullptr);
      sim.logs[n].Clear();
    }
    reply = "ok";
    return true;
  }
  static const char* const kPortCommands[] = {"add", "remove", "hangup", "behave", "frames",
                                              "rx", "events", "clear", "flush"};
  if (std::find(std::begin(kPortCommands), std::end(kPortCommands), cmd) ==
      std::end(kPortCommands)) {
    reply = "err unknown command";
    return true;
  }
  int64_t n = 0;
  if (words.size() < 2 || !ParseInt(words[1], 1, kMaxPort, &n)) {
    reply = "err port must be 1..20";
    return true;
  }
  Port& p = sim.ports[n];
  bool ready = p.state == PortState::Ready;
  if (cmd != "behave" && words.size() != 2) {
    reply = "err too many arguments";
    return true;
  }
  if (cmd == "frames") { reply = LogReply(sim.logs[n].frames); return true; }
  if (cmd == "rx") { reply = LogReply(sim.logs[n].rx); return true; }
  if (cmd == "events") { reply = LogReply(sim.logs[n].events); return true; }
  if (cmd == "clear") {
    sim.logs[n].Clear();
    reply = "ok";
    return true;
  }
  if (cmd == "add") {
    if (p.state != PortState::Absent) { reply = "err port exists"; return true; }
    p.comLink = ComLinkPath(sim, static_cast<int>(n));
    p.devLink = sim.rundir + "/dev" + std::to_string(n);
    unlink(p.comLink.c_str());
    unlink(p.devLink.c_str());
    sim.logs[n].Clear();
    if (!SpawnSocat(sim, static_cast<int>(n))) { reply = "err fork failed"; return true; }
    p.state = PortState::Starting;
    p.startDeadline = MonoMicros() + kAddTimeoutUs;
    p.waiter = c.id;
    c.waitingPort = static_cast<int>(n);
    return false;
  }
  if (!ready) { reply = "err no such port"; return true; }
  if (cmd == "remove" || cmd == "hangup") {
    Teardown(sim, static_cast<int>(n), cmd == "remove" ? "removed" : "hangup");
    reply = "ok";
    return true;
  }
  if (cmd == "flush") {
    // Drops bytes still in the cable: unread by the Windows side or by the device.
    tcflush(p.holdFd, TCIOFLUSH);
    tcflush(p.devFd, TCIOFLUSH);
    p.out.clear();
    p.parse.clear();
    reply = "ok";
    return true;
  }
  Behaviour b;
  std::string error;
  if (!ParseBehaviour(std::vector<std::string_view>(words.begin() + 2, words.end()), &b, &error)) {
    reply = "err " + error;
    return true;
  }
  p.behaviour = b;
  p.steps.clear();
  p.floodStart = MonoMicros();
  p.floodSent = 0;
  reply = "ok";
  return true;
}

void ProcessLines(Sim& sim, Conn& c) {
  while (!c.dead && c.waitingPort == 0 && !sim.quit) {
    size_t nl = c.in.find('\n');
    if (nl == std::string::npos) {
      if (c.in.size() > kMaxLine) c.dead = true;
      return;
    }
    std::string line = c.in.substr(0, nl);
    c.in.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply;
    if (Command(sim, c, line, reply)) Reply(c, reply);
  }
}

void FlushConn(Conn& c) {
  while (!c.out.empty()) {
    ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (w < 0 && errno == EAGAIN) return;
    if (w <= 0) { c.dead = true; return; }
    c.out.erase(0, static_cast<size_t>(w));
  }
}

void ReadConn(Sim& sim, Conn& c) {
  char buf[4096];
  for (;;) {
    ssize_t r = recv(c.fd, buf, sizeof buf, 0);
    if (r > 0) { c.in.append(buf, static_cast<size_t>(r)); continue; }
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) break;
    c.dead = true;
    return;
  }
  ProcessLines(sim, c);
}

void AcceptConns(Sim& sim) {
  for (;;) {
    int fd = accept4(sim.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Conn c;
    c.fd = fd;
    c.id = sim.nextConnId++;
    sim.conns.push_back(std::move(c));
  }
}

int64_t NextDue(const Sim& sim) {
  int64_t due = INT64_MAX;
  int64_t mono = MonoMicros();
  for (int n = 1; n <= kMaxPort; ++n) {
    const Port& p = sim.ports[n];
    if (p.state == PortState::Starting) due = std::min(due, mono + kLinkCheckUs);
    if (p.state != PortState::Ready) continue;
    if (!p.steps.empty()) due = std::min(due, p.steps.front().due);
    if (p.behaviour.mode == Mode::Flood)
      due = std::min(due, std::max(FloodDue(p), mono + kFloodTickUs));
  }
  return due;
}

bool WritePortFile(const Sim& sim, int port) {
  std::string tmp = sim.portFile + ".tmp" + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = fprintf(f, "%d\n", port) > 0;
  ok = fclose(f) == 0 && ok;
  return ok && rename(tmp.c_str(), sim.portFile.c_str()) == 0;
}

bool Listen(Sim& sim, int port) {
  sim.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sim.listenFd < 0) return false;
  int one = 1;
  setsockopt(sim.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(sim.listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  if (listen(sim.listenFd, 16) != 0) return false;
  socklen_t len = sizeof a;
  if (getsockname(sim.listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
  int chosen = ntohs(a.sin_port);
  fprintf(stderr, "devsim: control port %d\n", chosen);
  return sim.portFile.empty() || WritePortFile(sim, chosen);
}

bool SetUp(Sim& sim, int controlPort) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  sim.signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (sim.signalFd < 0) return false;
  std::string dosdevices = sim.prefix + "/dosdevices";
  sim.inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (sim.inotifyFd < 0 ||
      inotify_add_watch(sim.inotifyFd, dosdevices.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
    fprintf(stderr, "devsim: cannot watch %s: %s\n", dosdevices.c_str(), strerror(errno));
    return false;
  }
  mkdir(sim.rundir.c_str(), 0755);
  RemoveComLinks(sim);
  for (int n = 1; n <= kMaxPort; ++n) unlink((sim.rundir + "/dev" + std::to_string(n)).c_str());
  return Listen(sim, controlPort);
}

void Loop(Sim& sim) {
  std::vector<pollfd> fds;
  std::vector<int> owner;  // >0: port number, <0: -(connection index + 1), 0: fixed fds
  while (!sim.quit) {
    fds.clear();
    owner.clear();
    fds.push_back({sim.listenFd, POLLIN, 0});
    fds.push_back({sim.signalFd, POLLIN, 0});
    fds.push_back({sim.inotifyFd, POLLIN, 0});
    owner.insert(owner.end(), {0, 0, 0});
    for (int n = 1; n <= kMaxPort; ++n) {
      const Port& p = sim.ports[n];
      if (p.state != PortState::Ready) continue;
      fds.push_back({p.devFd, static_cast<short>(POLLIN | (p.out.empty() ? 0 : POLLOUT)), 0});
      owner.push_back(n);
    }
    for (size_t i = 0; i < sim.conns.size(); ++i) {
      const Conn& c = sim.conns[i];
      short ev = c.waitingPort ? 0 : POLLIN;
      if (!c.out.empty()) ev |= POLLOUT;
      fds.push_back({c.fd, ev, 0});
      owner.push_back(-static_cast<int>(i) - 1);
    }
    int64_t due = NextDue(sim);
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
      if (read(sim.signalFd, &si, sizeof si) > 0) {
        fprintf(stderr, "devsim: signal %u\n", si.ssi_signo);
        sim.quit = true;
      }
    }
    if (fds[2].revents) DrainInotify(sim);
    for (size_t i = 3; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      if (owner[i] > 0) {
        Port& p = sim.ports[owner[i]];
        if (p.state != PortState::Ready || p.devFd != fds[i].fd) continue;
        if (fds[i].revents & POLLOUT) FlushOut(p);
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadDevice(sim, owner[i]);
      } else if (owner[i] < 0) {
        Conn& c = sim.conns[static_cast<size_t>(-owner[i] - 1)];
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadConn(sim, c);
      }
    }
    if (fds[0].revents) AcceptConns(sim);
    int64_t mono = MonoMicros();
    for (int n = 1; n <= kMaxPort; ++n) {
      if (sim.ports[n].state == PortState::Starting) CheckStarting(sim, n, mono);
      else if (sim.ports[n].state == PortState::Ready) RunSteps(sim, n, mono);
    }
    for (Conn& c : sim.conns) {
      // An "add" may have completed: the lines queued behind it go on now.
      if (!c.dead && c.waitingPort == 0) ProcessLines(sim, c);
      if (!c.dead) FlushConn(c);
    }
    std::erase_if(sim.conns, [](Conn& c) {
      if (c.dead) close(c.fd);
      return c.dead;
    });
  }
}

void Shutdown(Sim& sim) {
  for (Conn& c : sim.conns) {
    FlushConn(c);
    close(c.fd);
  }
  sim.conns.clear();
  for (int n = 1; n <= kMaxPort; ++n) Teardown(sim, n, nullptr);
  if (!sim.portFile.empty()) unlink(sim.portFile.c_str());
}

int Usage() {
  fprintf(stderr,
          "usage: devsim --prefix WINEPREFIX --rundir DIR [--control-port N] [--port-file FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Sim sim;
  int64_t controlPort = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* v = argv[++i];
    if (a == "--prefix") sim.prefix = v;
    else if (a == "--rundir") sim.rundir = v;
    else if (a == "--port-file") sim.portFile = v;
    else if (a == "--control-port") {
      if (!ParseInt(v, 0, 65535, &controlPort)) return Usage();
    } else {
      return Usage();
    }
  }
  if (sim.prefix.empty() || sim.rundir.empty()) return Usage();
  if (!SetUp(sim, static_cast<int>(controlPort))) {
    fprintf(stderr, "devsim: setup failed: %s\n", strerror(errno));
    Shutdown(sim);
    return 1;
  }
  Loop(sim);
  Shutdown(sim);
  fprintf(stderr, "devsim: stopped\n");
  return 0;
}
