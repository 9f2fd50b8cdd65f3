// Null-modem cable for Wine: pairs of virtual COM ports joined by a virtual cable, the role
// com0com plays on Windows in plug-in mode.
//
//   nullmodem --prefix WINEPREFIX --pair N:M [--pair N:M ...] [--ready-file FILE]
//
// N is the application-side COM number, M the device-side one (1..255, all distinct). Wine
// opens \\.\COMx through the symlink WINEPREFIX/dosdevices/comx, which points to a pty slave.
//
// Each pair has two ptys, and this program holds both masters and copies bytes between them.
// The device end (comM) exists from start to exit. The application end (comN) exists only
// while someone has the device end open: opening comM plugs the cable in and makes comN
// appear; the last close of comM pulls it, which hangs up whatever still has comN open and
// removes the link. The next plug makes a fresh pty for comN.
//
// A pty master reports POLLHUP once its slave has been opened and closed again, and no longer
// while the slave is open; that is how the device end's state is seen. One thread, one poll
// loop: I/O readiness, plus a 2 ms tick while a device end is closed (its master would report
// POLLHUP all the time, so it is checked on the tick instead of being polled).
//
// Wine's mount manager links comN to the host's serial devices whenever its services start;
// such links are removed as they appear, and a replaced link of ours is put back.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kMaxCom = 255;
constexpr int kTickMs = 2;
// Bytes kept per direction while the receiving side does not read; more is lost, as with a
// UART overrun.
constexpr size_t kMaxPending = 64 * 1024;
// Reads per source and wakeup: a side that writes without pause cannot starve the others.
constexpr int kMaxReads = 16;
// Links are made under this suffix and renamed into place, so an opener never sees a
// half-made link. It keeps the name apart from every "comN" Wine would open.
constexpr std::string_view kTempSuffix = ".nullmodem-tmp";

struct Pair {
  int app = 0, dev = 0;  // COM numbers
  int devMaster = -1;
  std::string devSlave;
  bool plugged = false;
  bool plugFailed = false;  // logged once until the device end closes
  int appMaster = -1;
  int appHolder = -1;
  std::string appSlave;
  std::vector<uint8_t> toApp, toDev;  // bytes the receiving master did not take yet
};

struct Cable {
  std::string prefix, readyFile;
  std::vector<Pair> pairs;
  int signalFd = -1, inotifyFd = -1;
  bool quit = false;
};

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::string Dosdevices(const Cable& c) { return c.prefix + "/dosdevices"; }

std::string ComName(int n) { return "com" + std::to_string(n); }

std::string LinkPath(const Cable& c, int n) { return Dosdevices(c) + "/" + ComName(n); }

std::string ReadLink(const std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  if (n < 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool IsSymlink(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsComName(std::string_view name) {
  return name.size() >= 3 && strncasecmp(name.data(), "com", 3) == 0;
}

bool IsTempName(std::string_view name) {
  return name.size() > kTempSuffix.size() &&
         name.substr(name.size() - kTempSuffix.size()) == kTempSuffix;
}

// Makes `path` a symlink to `target` in one step.
bool PlaceLink(const std::string& path, const std::string& target) {
  std::string tmp = path + std::string(kTempSuffix);
  unlink(tmp.c_str());
  if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
  if (rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

int OpenSlave(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Raw mode on the slave: no echo, no line editing, no byte translated or swallowed. It stays
// in force across closes of the slave for as long as the master is open.
bool SetRaw(int slave) {
  termios t{};
  if (tcgetattr(slave, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(slave, TCSANOW, &t) == 0;
}

// Opens a pty master; returns -1 on failure.
int OpenPty(std::string& slavePath) {
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    close(fd);
    return -1;
  }
  slavePath = name;
  return fd;
}

// The device end is open by someone exactly when its master does not report POLLHUP.
bool DeviceOpen(const Pair& p) {
  pollfd pfd{p.devMaster, POLLIN, 0};
  if (poll(&pfd, 1, 0) < 0) return false;
  return (pfd.revents & POLLHUP) == 0;
}

// Drops what the app sent that the device end has not read: that data sits in the slave's
// input queue, survives the slave's close and is not reached by flushing the master.
void FlushDeviceInput(const Pair& p) {
  int fd = OpenSlave(p.devSlave);
  if (fd < 0) return;
  tcflush(fd, TCIFLUSH);
  close(fd);
}

bool CreateDeviceEnd(const Cable& c, Pair& p) {
  p.devMaster = OpenPty(p.devSlave);
  if (p.devMaster < 0) return false;
  // One open and close of the slave: from then on the master reports POLLHUP until the
  // device end is opened, which a never-opened slave does not do.
  int fd = OpenSlave(p.devSlave);
  if (fd < 0) return false;
  bool raw = SetRaw(fd);
  close(fd);
  return raw && PlaceLink(LinkPath(c, p.dev), p.devSlave);
}

void ClosePlug(Pair& p) {
  CloseFd(p.appMaster);
  CloseFd(p.appHolder);
  p.appSlave.clear();
}

bool Plug(const Cable& c, Pair& p) {
  // What the device wrote while the cable was out, before its last close or since it opened,
  // has nowhere to go.
  tcflush(p.devMaster, TCIFLUSH);
  p.appMaster = OpenPty(p.appSlave);
  if (p.appMaster < 0) return false;
  // Kept open and never read: when the application closes its port, the slave still has a
  // user, so the master does not hang up and the port can be opened again.
  p.appHolder = OpenSlave(p.appSlave);
  if (p.appHolder < 0 || !SetRaw(p.appHolder) || !PlaceLink(LinkPath(c, p.app), p.appSlave)) {
    ClosePlug(p);
    return false;
  }
  p.plugged = true;
  p.plugFailed = false;
  fprintf(stderr, "nullmodem: COM%d plugged (%s, device COM%d)\n", p.app, p.appSlave.c_str(),
          p.dev);
  return true;
}

void TryPlug(const Cable& c, Pair& p) {
  if (Plug(c, p) || p.plugFailed) return;
  p.plugFailed = true;
  fprintf(stderr, "nullmodem: COM%d cannot be plugged: %s\n", p.app, strerror(errno));
}

// Pulls the cable: the application end goes away with its master, so what the application
// still has open on it is hung up, and the port no longer exists for the next open.
void Unplug(const Cable& c, Pair& p) {
  unlink(LinkPath(c, p.app).c_str());
  ClosePlug(p);
  p.toApp.clear();
  p.toDev.clear();
  // What the device wrote before it closed stays in its master until the next plug drops it.
  FlushDeviceInput(p);
  p.plugged = false;
  fprintf(stderr, "nullmodem: COM%d unplugged\n", p.app);
}

void Deliver(int dst, std::vector<uint8_t>& pending, const uint8_t* data, size_t len) {
  if (pending.empty()) {
    ssize_t w = write(dst, data, len);
    if (w > 0) {
      data += w;
      len -= static_cast<size_t>(w);
    }
  }
  size_t room = kMaxPending - pending.size();
  pending.insert(pending.end(), data, data + std::min(len, room));
}

void FlushPending(int dst, std::vector<uint8_t>& pending) {
  while (!pending.empty()) {
    ssize_t w = write(dst, pending.data(), pending.size());
    if (w <= 0) return;
    pending.erase(pending.begin(), pending.begin() + w);
  }
}

// Copies what `src` has to `dst`; returns false when `src` failed (its slave is gone).
bool Pump(int src, int dst, std::vector<uint8_t>& pending) {
  uint8_t buf[4096];
  for (int i = 0; i < kMaxReads; ++i) {
    ssize_t r = read(src, buf, sizeof buf);
    if (r > 0) {
      Deliver(dst, pending, buf, static_cast<size_t>(r));
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    return r < 0 && errno == EAGAIN;
  }
  return true;
}

void ServePair(const Cable& c, Pair& p, short devEvents, short appEvents) {
  // POLLHUP on the device master: its user closed it. On the application master it cannot
  // happen while the holder is open; if it does, a fresh plug repairs the pair.
  if ((devEvents | appEvents) & (POLLHUP | POLLERR | POLLNVAL)) {
    Unplug(c, p);
    return;
  }
  if (devEvents & POLLOUT) FlushPending(p.devMaster, p.toDev);
  if (appEvents & POLLOUT) FlushPending(p.appMaster, p.toApp);
  bool ok = true;
  if (devEvents & POLLIN) ok = Pump(p.devMaster, p.appMaster, p.toApp);
  if (ok && (appEvents & POLLIN)) ok = Pump(p.appMaster, p.devMaster, p.toDev);
  if (!ok) Unplug(c, p);
}

// The link target that `name` must have, or nullptr when the name is not ours right now.
const std::string* ManagedTarget(const Cable& c, std::string_view name) {
  for (const Pair& p : c.pairs) {
    if (name == ComName(p.dev)) return &p.devSlave;
    if (p.plugged && name == ComName(p.app)) return &p.appSlave;
  }
  return nullptr;
}

void GuardLink(const Cable& c, std::string_view name) {
  if (!IsComName(name) || IsTempName(name)) return;
  std::string path = Dosdevices(c) + "/" + std::string(name);
  if (!IsSymlink(path)) return;
  std::string target = ReadLink(path);
  const std::string* ours = ManagedTarget(c, name);
  if (ours == nullptr) {
    if (unlink(path.c_str()) == 0)
      fprintf(stderr, "nullmodem: removed foreign link %s -> %s\n", path.c_str(), target.c_str());
    return;
  }
  if (target != *ours && PlaceLink(path, *ours))
    fprintf(stderr, "nullmodem: %s pointed to %s, restored\n", path.c_str(), target.c_str());
}

// Calls `fn` with the name of every entry of dosdevices.
template <typename Fn>
void ForEachEntry(const Cable& c, Fn fn) {
  DIR* d = opendir(Dosdevices(c).c_str());
  if (!d) return;
  while (const dirent* e = readdir(d)) fn(std::string_view(e->d_name));
  closedir(d);
}

void DrainInotify(const Cable& c) {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t r = read(c.inotifyFd, buf, sizeof buf);
    if (r <= 0) return;
    for (ssize_t off = 0; off < r;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      // Events were lost: look at everything there is.
      if (ev->mask & IN_Q_OVERFLOW) ForEachEntry(c, [&](std::string_view n) { GuardLink(c, n); });
      if (ev->len > 0) GuardLink(c, ev->name);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
}

void RemoveComLinks(const Cable& c) {
  ForEachEntry(c, [&](std::string_view name) {
    std::string path = Dosdevices(c) + "/" + std::string(name);
    if (IsComName(name) && IsSymlink(path)) unlink(path.c_str());
  });
}

void ReadSignal(Cable& c) {
  signalfd_siginfo si{};
  if (read(c.signalFd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) return;
  fprintf(stderr, "nullmodem: signal %u, stopping\n", si.ssi_signo);
  c.quit = true;
}

bool WriteReadyFile(const std::string& path) {
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = fprintf(f, "%d\n", static_cast<int>(getpid())) > 0;
  ok = fclose(f) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

bool SetUp(Cable& c) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  c.signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (c.signalFd < 0) return false;
  c.inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (c.inotifyFd < 0 ||
      inotify_add_watch(c.inotifyFd, Dosdevices(c).c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
    fprintf(stderr, "nullmodem: cannot watch %s: %s\n", Dosdevices(c).c_str(), strerror(errno));
    return false;
  }
  RemoveComLinks(c);
  for (Pair& p : c.pairs) {
    if (!CreateDeviceEnd(c, p)) {
      fprintf(stderr, "nullmodem: cannot make COM%d: %s\n", p.dev, strerror(errno));
      return false;
    }
    fprintf(stderr, "nullmodem: COM%d is the device end of COM%d (%s)\n", p.dev, p.app,
            p.devSlave.c_str());
  }
  if (c.readyFile.empty() || WriteReadyFile(c.readyFile)) return true;
  fprintf(stderr, "nullmodem: cannot write %s: %s\n", c.readyFile.c_str(), strerror(errno));
  return false;
}

bool Loop(Cable& c) {
  std::vector<pollfd> fds;
  std::vector<Pair*> owner;  // one entry per pair in the set, for its two masters
  while (!c.quit) {
    fds.assign({{c.signalFd, POLLIN, 0}, {c.inotifyFd, POLLIN, 0}});
    owner.clear();
    bool waiting = false;
    for (Pair& p : c.pairs) {
      if (!p.plugged) {
        waiting = true;
        continue;
      }
      fds.push_back({p.devMaster, static_cast<short>(POLLIN | (p.toDev.empty() ? 0 : POLLOUT)), 0});
      fds.push_back({p.appMaster, static_cast<short>(POLLIN | (p.toApp.empty() ? 0 : POLLOUT)), 0});
      owner.push_back(&p);
    }
    if (poll(fds.data(), fds.size(), waiting ? kTickMs : -1) < 0 && errno != EINTR) {
      perror("nullmodem: poll");
      return false;
    }
    if (fds[0].revents) ReadSignal(c);
    if (fds[1].revents) DrainInotify(c);
    for (size_t i = 0; i < owner.size(); ++i)
      ServePair(c, *owner[i], fds[2 + 2 * i].revents, fds[3 + 2 * i].revents);
    for (Pair& p : c.pairs) {
      if (p.plugged) continue;
      if (DeviceOpen(p)) TryPlug(c, p);
      else p.plugFailed = false;
    }
  }
  return true;
}

void Shutdown(Cable& c) {
  for (Pair& p : c.pairs) {
    if (p.plugged) unlink(LinkPath(c, p.app).c_str());
    ClosePlug(p);
    if (p.devMaster >= 0) unlink(LinkPath(c, p.dev).c_str());
    CloseFd(p.devMaster);
  }
  if (!c.readyFile.empty()) unlink(c.readyFile.c_str());
  CloseFd(c.inotifyFd);
  CloseFd(c.signalFd);
}

bool ParseCom(std::string_view s, int* out) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < 1 || v > kMaxCom)
    return false;
  *out = v;
  return true;
}

bool ParsePair(std::string_view s, Pair* p) {
  size_t colon = s.find(':');
  return colon != std::string_view::npos && ParseCom(s.substr(0, colon), &p->app) &&
         ParseCom(s.substr(colon + 1), &p->dev);
}

bool AllDistinct(const std::vector<Pair>& pairs) {
  bool seen[kMaxCom + 1] = {};
  for (const Pair& p : pairs) {
    for (int n : {p.app, p.dev}) {
      if (seen[n]) return false;
      seen[n] = true;
    }
  }
  return true;
}

bool ParseArgs(int argc, char** argv, Cable& c) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    Pair p;
    if (a == "--prefix") c.prefix = v;
    else if (a == "--ready-file") c.readyFile = v;
    else if (a == "--pair" && ParsePair(v, &p)) c.pairs.push_back(p);
    else return false;
  }
  return !c.prefix.empty() && !c.pairs.empty() && AllDistinct(c.pairs);
}

int Usage() {
  fprintf(stderr,
          "usage: nullmodem --prefix WINEPREFIX --pair N:M [--pair N:M ...] [--ready-file FILE]\n"
          "  N: application-side COM number, M: device-side COM number, 1..255, all distinct\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Cable c;
  if (!ParseArgs(argc, argv, c)) return Usage();
  bool ok = SetUp(c) && Loop(c);
  Shutdown(c);
  fprintf(stderr, "nullmodem: stopped\n");
  return ok ? 0 : 1;
}
