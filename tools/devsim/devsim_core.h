// The simulated devices and the control protocol, shared by the two simulator programs: the
// Linux one (devsim.cpp), which makes its own virtual cables out of ptys for Wine, and the
// Windows one (devsim_win.cpp), which serves the device ends of null-modem port pairs.
//
// The program owns all I/O. It feeds in what each device read and what each control
// connection sent, calls RunSteps when NextDue says so, and provides the cable operations
// declared at the end of this header.
//
// Control: TCP on 127.0.0.1, one command per line, exactly one reply line per command,
// "ok ..." or "err <reason>". N is a port number 1..20. Timestamps are microseconds since
// 1970 (wall clock), the same clock as the Windows side's system time.
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
//                        the cable went away on its own
//   clear N              clear the port's logs (they survive remove and hangup, not add)
//   flush N              drop bytes still in the cable, unread by either side
//   now                  "ok <us>"
//   quit                 stop: all ports are removed (as on SIGTERM, SIGINT, SIGHUP on Linux,
//                        Ctrl+C on Windows)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devsim_proto.h"

inline constexpr int kMaxPort = 20;
// How often a port that is being added is checked for being ready.
inline constexpr int64_t kStartCheckUs = 2'000;
inline constexpr int64_t kFloodTickUs = 5'000;

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

struct DevicePort {
  PortState state = PortState::Absent;
  uint64_t waiter = 0;  // control connection waiting for the "add" reply
  Behaviour behaviour;
  std::vector<uint8_t> parse;
  std::vector<uint8_t> out;  // bytes the device sent that the cable has not taken yet
  std::vector<Step> steps;
  int64_t floodStart = 0, floodSent = 0;
  uint64_t rng = 0x9e3779b97f4a7c15ull;

  void ClearTraffic() { parse.clear(); out.clear(); steps.clear(); }
};

// A control connection. `sock` and `event` belong to the program (a descriptor, or a SOCKET
// and its event object).
struct Conn {
  intptr_t sock = -1;
  void* event = nullptr;
  uint64_t id = 0;
  std::string in, out;
  int waitingPort = 0;
  bool dead = false;
};

struct Sim {
  DevicePort ports[kMaxPort + 1];
  PortLog logs[kMaxPort + 1];
  std::vector<Conn> conns;
  uint64_t nextConnId = 1;
  bool quit = false;
};

// Logs a device event with the current wall-clock time.
void AddEvent(Sim& sim, int n, const char* word);
// Bytes the device on port n read from its cable.
void OnDeviceBytes(Sim& sim, int n, const uint8_t* d, size_t len, int64_t us, int64_t mono);
// Runs what is due on port n; returns false when the port went away.
bool RunSteps(Sim& sim, int n, int64_t mono);
// Monotonic time of the next scheduled action of any port, INT64_MAX when none.
int64_t NextDue(const Sim& sim, int64_t mono);
// Handles the complete lines a connection sent, stopping at an "add" still pending.
void ProcessLines(Sim& sim, Conn& c);
// Takes what the connection sent and handles its lines; marks it dead when it closed.
void ReadConn(Sim& sim, Conn& c);
// Sends the connection's pending replies as far as its socket takes them now.
void FlushConn(Conn& c);
// The program's answers to CableStart: the cable is up, or could not be made.
void PortReady(Sim& sim, int n);
void PortFailed(Sim& sim, int n, std::string_view reason);
// Pulls the cable of port n, ready or starting (CableStop), and logs `word` (nothing when
// null).
void Teardown(Sim& sim, int n, const char* word);
// Ends the simulator: replies sent as far as possible by the program, all cables pulled.
void TeardownAll(Sim& sim);

// Provided by the program.
int64_t RealMicros();  // microseconds since 1970: log stamps, compared with Windows time
int64_t MonoMicros();  // scheduling, immune to clock steps
// Begins making the cable of port n; the program calls PortReady or PortFailed later, from
// its loop (never from inside this call). False with *error when it cannot even begin.
bool CableStart(Sim& sim, int n, std::string* error);
// Releases the cable of port n: afterwards COMn is gone for the Windows side.
void CableStop(Sim& sim, int n);
// Writes as much of the port's `out` as the cable takes now, erasing what was written.
void CableWrite(Sim& sim, int n);
// Writes flood bytes if the cable takes them now; a UART that cannot send loses them.
void CableFlood(Sim& sim, int n, const std::vector<uint8_t>& bytes);
// Drops the bytes still in the cable, unread by either side as far as the program can.
void CableFlush(Sim& sim, int n);
// Non-blocking socket I/O on a connection: bytes moved, 0 when the socket would block, -1
// when the connection is closed or broken.
int64_t ConnSend(Conn& c, const char* data, size_t size);
int64_t ConnRecv(Conn& c, char* buf, size_t size);
