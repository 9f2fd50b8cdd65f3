#include "devsim_core.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iterator>

namespace {

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
  DevicePort& p = sim.ports[n];
  if (Conn* c = FindConn(sim, p.waiter)) {
    Reply(*c, reply);
    c->waitingPort = 0;
  }
  p.waiter = 0;
}

void Schedule(DevicePort& p, Step step) {
  auto at = std::upper_bound(p.steps.begin(), p.steps.end(), step.due,
                             [](int64_t due, const Step& s) { return due < s.due; });
  p.steps.insert(at, std::move(step));
}

void ScheduleReply(DevicePort& p, int64_t frameMono) {
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
  DevicePort& p = sim.ports[n];
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

void RunFlood(Sim& sim, int n, int64_t mono) {
  DevicePort& p = sim.ports[n];
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
  if (p.out.empty()) CableFlood(sim, n, bytes);
  p.floodSent = target;
}

int64_t FloodDue(const DevicePort& p) {
  return p.floodStart + (p.floodSent + 1) * 1'000'000 / p.behaviour.rate;
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

void Reset(Sim& sim) {
  for (int n = 1; n <= kMaxPort; ++n) {
    if (sim.ports[n].state == PortState::Starting) FinishAdd(sim, n, "err reset");
    Teardown(sim, n, nullptr);
    sim.logs[n].Clear();
  }
}

// Replaces the port's behaviour; replies still scheduled from the old one are dropped.
std::string Behave(DevicePort& p, const std::vector<std::string_view>& words) {
  Behaviour b;
  std::string error;
  if (!ParseBehaviour(std::vector<std::string_view>(words.begin() + 2, words.end()), &b, &error))
    return "err " + error;
  p.behaviour = b;
  p.steps.clear();
  p.floodStart = MonoMicros();
  p.floodSent = 0;
  return "ok";
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
    Reset(sim);
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
  DevicePort& p = sim.ports[n];
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
    sim.logs[n].Clear();
    std::string error;
    if (!CableStart(sim, static_cast<int>(n), &error)) { reply = "err " + error; return true; }
    p.state = PortState::Starting;
    p.waiter = c.id;
    c.waitingPort = static_cast<int>(n);
    return false;
  }
  if (p.state != PortState::Ready) { reply = "err no such port"; return true; }
  if (cmd == "remove" || cmd == "hangup") {
    Teardown(sim, static_cast<int>(n), cmd == "remove" ? "removed" : "hangup");
    reply = "ok";
    return true;
  }
  if (cmd == "flush") {
    CableFlush(sim, static_cast<int>(n));
    p.out.clear();
    p.parse.clear();
    reply = "ok";
    return true;
  }
  reply = Behave(p, words);
  return true;
}

}  // namespace

void AddEvent(Sim& sim, int n, const char* word) {
  sim.logs[n].events.push_back({RealMicros(), word});
}

void OnDeviceBytes(Sim& sim, int n, const uint8_t* d, size_t len, int64_t us, int64_t mono) {
  DevicePort& p = sim.ports[n];
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

bool RunSteps(Sim& sim, int n, int64_t mono) {
  DevicePort& p = sim.ports[n];
  while (!p.steps.empty() && p.steps.front().due <= mono) {
    Step s = std::move(p.steps.front());
    p.steps.erase(p.steps.begin());
    if (s.hangup) {
      Teardown(sim, n, "hangup");
      return false;
    }
    if (s.replyStart) AddEvent(sim, n, "reply");
    p.out.insert(p.out.end(), s.bytes.begin(), s.bytes.end());
    CableWrite(sim, n);
  }
  if (p.behaviour.mode == Mode::Flood) RunFlood(sim, n, mono);
  return true;
}

int64_t NextDue(const Sim& sim, int64_t mono) {
  int64_t due = INT64_MAX;
  for (int n = 1; n <= kMaxPort; ++n) {
    const DevicePort& p = sim.ports[n];
    if (p.state == PortState::Starting) due = std::min(due, mono + kStartCheckUs);
    if (p.state != PortState::Ready) continue;
    if (!p.steps.empty()) due = std::min(due, p.steps.front().due);
    if (p.behaviour.mode == Mode::Flood)
      due = std::min(due, std::max(FloodDue(p), mono + kFloodTickUs));
  }
  return due;
}

void ProcessLines(Sim& sim, Conn& c) {
  constexpr size_t kMaxLine = 64 * 1024;
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

void ReadConn(Sim& sim, Conn& c) {
  char buf[4096];
  for (;;) {
    int64_t r = ConnRecv(c, buf, sizeof buf);
    if (r == 0) break;
    if (r < 0) {
      c.dead = true;
      return;
    }
    c.in.append(buf, static_cast<size_t>(r));
  }
  ProcessLines(sim, c);
}

void FlushConn(Conn& c) {
  while (!c.out.empty()) {
    int64_t w = ConnSend(c, c.out.data(), c.out.size());
    if (w == 0) return;
    if (w < 0) {
      c.dead = true;
      return;
    }
    c.out.erase(0, static_cast<size_t>(w));
  }
}

void PortReady(Sim& sim, int n) {
  DevicePort& p = sim.ports[n];
  p.state = PortState::Ready;
  p.behaviour = Behaviour{};
  p.rng ^= static_cast<uint64_t>(RealMicros()) * 2654435761u + static_cast<uint64_t>(n);
  AddEvent(sim, n, "added");
  FinishAdd(sim, n, "ok");
}

void PortFailed(Sim& sim, int n, std::string_view reason) {
  Teardown(sim, n, nullptr);
  FinishAdd(sim, n, "err " + std::string(reason));
}

void Teardown(Sim& sim, int n, const char* word) {
  DevicePort& p = sim.ports[n];
  if (p.state == PortState::Absent) return;
  CableStop(sim, n);
  p.state = PortState::Absent;
  p.ClearTraffic();
  if (word) AddEvent(sim, n, word);
  fprintf(stderr, "devsim: COM%d %s\n", n, word ? word : "dropped");
}

void TeardownAll(Sim& sim) {
  for (int n = 1; n <= kMaxPort; ++n) Teardown(sim, n, nullptr);
}
