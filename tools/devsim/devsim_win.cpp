// Device simulator for Windows: serves the device ends of null-modem COM port pairs, so that
// the serial tests can open the other ends as COM1..COM20 on a Windows machine. On Windows
// the pairs come from the com0com driver with plug-in mode on (an application-side port
// exists only while its device end is open); under Wine, tools/nullmodem plays that driver.
//
//   devsim-win --pair N=NAME [--pair N=NAME ...] [--control-port P] [--port-file FILE]
//
// N is the application-side port number 1..20 (COMN), NAME the device end's name (CNCB3,
// COM103, ...). The control protocol and the devices are those of devsim_core.h:
// "add N" opens the device end and answers once COMN can be opened; "remove N" and
// "hangup N" close it, which unplugs COMN. "flush N" drops what the device end has not read
// or sent; bytes already on their way to COMN stay there.
//
// One thread: overlapped reads and writes on the device ends and event-selected sockets,
// waited for together; every reaction is driven by a completion or a timeout.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "devsim_core.h"
#include "tests/support/win_util.h"

namespace {

constexpr int64_t kAddTimeoutUs = 5'000'000;
constexpr DWORD kCancelWaitMs = 2000;
constexpr size_t kMaxConns = 16;  // keeps the wait list under MAXIMUM_WAIT_OBJECTS

// The device end of one pair.
struct Cable {
  std::wstring name;  // empty: no pair for this port number
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED rd{}, wr{};
  bool reading = false, writing = false;
  uint8_t rdBuf[4096];
  std::vector<uint8_t> wrBuf;  // the bytes of the write in flight
  int64_t startDeadline = 0;
};

struct Host {
  std::string portFile;
  SOCKET listenSock = INVALID_SOCKET;
  HANDLE listenEvent = nullptr;
  HANDLE stopEvent = nullptr;  // set by Ctrl+C, Ctrl+Break and closing the console
  Cable cables[kMaxPort + 1];
  Sim sim;
};

Host host;

std::wstring DevicePath(const std::wstring& name) { return L"\\\\.\\" + name; }

std::wstring ComPath(int n) { return L"\\\\.\\COM" + std::to_wstring(n); }

// The device answers as it would on a real line: 115200 8N1, no flow control, DTR and RTS
// on (so the application side sees DSR and CTS through the null-modem wiring). No time-outs:
// a read waits for its byte however long it takes.
bool Configure(HANDLE h) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  COMMTIMEOUTS t{};
  return SetCommState(h, &dcb) && SetCommTimeouts(h, &t) &&
         PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

// Overlapped I/O that failed to start never completes; only a started one is waited for.
bool Started(BOOL ok) { return ok || GetLastError() == ERROR_IO_PENDING; }

bool Finished(HANDLE h, OVERLAPPED& o, DWORD* got) {
  return GetOverlappedResult(h, &o, got, FALSE) != 0;
}

// Waits for a started operation after CancelIoEx, bounded: the record must not be reused
// while the system may still write to it.
void WaitCancelled(HANDLE h, OVERLAPPED& o, bool& inFlight) {
  if (!inFlight) return;
  DWORD ignored = 0;
  if (WaitForSingleObject(o.hEvent, kCancelWaitMs) == WAIT_OBJECT_0)
    GetOverlappedResult(h, &o, &ignored, FALSE);
  inFlight = false;
}

// One byte at a time wakes the loop as soon as the application writes; whatever else has
// arrived by then is taken with it.
void StartRead(int n) {
  Cable& k = host.cables[n];
  ResetEvent(k.rd.hEvent);
  k.reading = Started(ReadFile(k.h, k.rdBuf, 1, nullptr, &k.rd));
  if (!k.reading) Teardown(host.sim, n, "lost");
}

// Reads what is already queued behind the first byte; completes at once since it is there.
DWORD ReadQueued(Cable& k) {
  DWORD errors = 0;
  COMSTAT st{};
  if (!ClearCommError(k.h, &errors, &st) || st.cbInQue == 0) return 0;
  DWORD want = std::min<DWORD>(st.cbInQue, sizeof k.rdBuf - 1);
  ResetEvent(k.rd.hEvent);
  DWORD got = 0;
  bool inFlight = Started(ReadFile(k.h, k.rdBuf + 1, want, nullptr, &k.rd));
  if (!inFlight) return 0;
  if (WaitForSingleObject(k.rd.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
    CancelIoEx(k.h, &k.rd);
    WaitCancelled(k.h, k.rd, inFlight);
    return 0;
  }
  return Finished(k.h, k.rd, &got) ? got : 0;
}

void OnReadDone(int n) {
  Cable& k = host.cables[n];
  k.reading = false;
  DWORD got = 0;
  if (!Finished(k.h, k.rd, &got)) {
    Teardown(host.sim, n, "lost");
    return;
  }
  if (got > 0) {
    got += ReadQueued(k);
    OnDeviceBytes(host.sim, n, k.rdBuf, got, RealMicros(), MonoMicros());
  }
  if (host.sim.ports[n].state == PortState::Ready) StartRead(n);
}

void StartWrite(Cable& k, std::vector<uint8_t> bytes) {
  k.wrBuf = std::move(bytes);
  ResetEvent(k.wr.hEvent);
  k.writing = Started(WriteFile(k.h, k.wrBuf.data(), static_cast<DWORD>(k.wrBuf.size()),
                                nullptr, &k.wr));
  if (!k.writing) k.wrBuf.clear();  // a broken line loses the bytes, as a UART would
}

void OnWriteDone(int n) {
  Cable& k = host.cables[n];
  k.writing = false;
  DWORD put = 0;
  std::vector<uint8_t>& out = host.sim.ports[n].out;
  if (Finished(k.h, k.wr, &put) && put < k.wrBuf.size())
    out.insert(out.begin(), k.wrBuf.begin() + put, k.wrBuf.end());
  k.wrBuf.clear();
  CableWrite(host.sim, n);
}

// Completes "add" once the application side of the pair can be opened: the driver makes it
// appear when the device end opens, which takes a moment on Windows.
void CheckStarting(int n, int64_t mono) {
  Cable& k = host.cables[n];
  HANDLE app = CreateFileW(ComPath(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (app == INVALID_HANDLE_VALUE) {
    if (mono > k.startDeadline) PortFailed(host.sim, n, "COM port did not appear");
    return;
  }
  CloseHandle(app);
  fprintf(stderr, "devsim: COM%d added (device end %ls)\n", n, k.name.c_str());
  PortReady(host.sim, n);
  StartRead(n);
}

void AcceptConns() {
  while (host.sim.conns.size() < kMaxConns) {
    SOCKET s = accept(host.listenSock, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    WSAEVENT ev = WSACreateEvent();
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // Also makes the socket non-blocking.
    if (ev == WSA_INVALID_EVENT || WSAEventSelect(s, ev, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
      if (ev != WSA_INVALID_EVENT) WSACloseEvent(ev);
      closesocket(s);
      continue;
    }
    Conn c;
    c.sock = static_cast<intptr_t>(s);
    c.event = ev;
    c.id = host.sim.nextConnId++;
    host.sim.conns.push_back(std::move(c));
  }
}

void CloseConn(Conn& c) {
  closesocket(static_cast<SOCKET>(c.sock));
  WSACloseEvent(c.event);
}

bool WritePortFile(int port) {
  std::string tmp = host.portFile + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wb");  // "\n", not "\r\n": scripts read it as well
  if (!f) return false;
  bool ok = fprintf(f, "%d\n", port) > 0;
  ok = fclose(f) == 0 && ok;
  return ok && MoveFileExA(tmp.c_str(), host.portFile.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool Listen(int port) {
  host.listenSock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  host.listenEvent = WSACreateEvent();
  if (host.listenSock == INVALID_SOCKET || host.listenEvent == WSA_INVALID_EVENT) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(host.listenSock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  if (listen(host.listenSock, 16) != 0) return false;
  if (WSAEventSelect(host.listenSock, host.listenEvent, FD_ACCEPT) != 0) return false;
  int len = sizeof a;
  if (getsockname(host.listenSock, reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
  int chosen = ntohs(a.sin_port);
  fprintf(stderr, "devsim: control port %d\n", chosen);
  return host.portFile.empty() || WritePortFile(chosen);
}

DWORD WaitMs(int64_t due) {
  if (due == INT64_MAX) return INFINITE;
  int64_t wait = std::max<int64_t>(0, due - MonoMicros());
  return static_cast<DWORD>(std::min<int64_t>((wait + 999) / 1000, 60'000));
}

// What the loop waits for: the listening socket, every connection, every started
// operation. Which one woke it does not matter; everything ready is handled.
void WaitForWork() {
  std::vector<HANDLE> handles{host.stopEvent, host.listenEvent};
  for (const Conn& c : host.sim.conns) handles.push_back(c.event);
  for (int n = 1; n <= kMaxPort; ++n) {
    const Cable& k = host.cables[n];
    if (k.reading) handles.push_back(k.rd.hEvent);
    if (k.writing) handles.push_back(k.wr.hEvent);
  }
  WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                         WaitMs(NextDue(host.sim, MonoMicros())));
}

void ServePorts() {
  int64_t mono = MonoMicros();
  for (int n = 1; n <= kMaxPort; ++n) {
    Cable& k = host.cables[n];
    PortState state = host.sim.ports[n].state;
    if (state == PortState::Starting) CheckStarting(n, mono);
    if (state != PortState::Ready) continue;
    if (k.writing && WaitForSingleObject(k.wr.hEvent, 0) == WAIT_OBJECT_0) OnWriteDone(n);
    if (k.reading && WaitForSingleObject(k.rd.hEvent, 0) == WAIT_OBJECT_0) OnReadDone(n);
    if (host.sim.ports[n].state == PortState::Ready) RunSteps(host.sim, n, MonoMicros());
  }
}

void ServeConns() {
  for (Conn& c : host.sim.conns) {
    WSANETWORKEVENTS ne{};
    WSAEnumNetworkEvents(static_cast<SOCKET>(c.sock), c.event, &ne);
    if (ne.lNetworkEvents & (FD_READ | FD_CLOSE)) ReadConn(host.sim, c);
    // An "add" may have completed: the lines queued behind it go on now.
    if (!c.dead && c.waitingPort == 0) ProcessLines(host.sim, c);
    if (!c.dead) FlushConn(c);
  }
  std::erase_if(host.sim.conns, [](Conn& c) {
    if (c.dead) CloseConn(c);
    return c.dead;
  });
}

void Loop() {
  while (!host.sim.quit) {
    WaitForWork();
    if (WaitForSingleObject(host.stopEvent, 0) == WAIT_OBJECT_0) break;
    WSANETWORKEVENTS ne{};
    WSAEnumNetworkEvents(host.listenSock, host.listenEvent, &ne);
    if (ne.lNetworkEvents & FD_ACCEPT) AcceptConns();
    ServePorts();
    ServeConns();
  }
}

void Shutdown() {
  for (Conn& c : host.sim.conns) {
    FlushConn(c);
    CloseConn(c);
  }
  host.sim.conns.clear();
  TeardownAll(host.sim);
  if (!host.portFile.empty()) DeleteFileA(host.portFile.c_str());
}

// "3=CNCB3": port 3's device end is CNCB3.
bool ParsePair(std::string_view v) {
  size_t eq = v.find('=');
  int64_t n = 0;
  if (eq == std::string_view::npos || eq + 1 >= v.size() || v.size() - eq > 64) return false;
  if (!ParseInt(v.substr(0, eq), 1, kMaxPort, &n)) return false;
  host.cables[n].name.assign(v.begin() + static_cast<long>(eq) + 1, v.end());
  return true;
}

BOOL WINAPI OnConsoleStop(DWORD) {
  SetEvent(host.stopEvent);
  return TRUE;
}

int Usage() {
  fprintf(stderr, "usage: devsim-win --pair N=NAME [--pair N=NAME ...] [--control-port P] "
                  "[--port-file FILE]\n");
  return 2;
}

}  // namespace

// The clock the tests read with the same function, so stamps and their times compare.
int64_t RealMicros() { return UnixMicrosNow(); }

int64_t MonoMicros() {
  static LARGE_INTEGER freq = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart / freq.QuadPart * 1'000'000 +
         now.QuadPart % freq.QuadPart * 1'000'000 / freq.QuadPart;
}

bool CableStart(Sim&, int n, std::string* error) {
  Cable& k = host.cables[n];
  if (k.name.empty()) {
    *error = "no pair for this port";
    return false;
  }
  k.h = CreateFileW(DevicePath(k.name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (k.h == INVALID_HANDLE_VALUE) {
    *error = "cannot open the device end, error " + std::to_string(GetLastError());
    return false;
  }
  if (!Configure(k.h)) {
    *error = "cannot configure the device end, error " + std::to_string(GetLastError());
    CloseHandle(k.h);
    k.h = INVALID_HANDLE_VALUE;
    return false;
  }
  k.startDeadline = MonoMicros() + kAddTimeoutUs;
  return true;
}

// Closing the device end unplugs the application side: what is open there is cut off.
void CableStop(Sim&, int n) {
  Cable& k = host.cables[n];
  if (k.h == INVALID_HANDLE_VALUE) return;
  CancelIoEx(k.h, nullptr);
  WaitCancelled(k.h, k.rd, k.reading);
  WaitCancelled(k.h, k.wr, k.writing);
  CloseHandle(k.h);
  k.h = INVALID_HANDLE_VALUE;
  k.wrBuf.clear();
}

void CableWrite(Sim& sim, int n) {
  Cable& k = host.cables[n];
  std::vector<uint8_t>& out = sim.ports[n].out;
  if (k.writing || out.empty() || k.h == INVALID_HANDLE_VALUE) return;
  StartWrite(k, std::move(out));
  out.clear();
}

void CableFlood(Sim&, int n, const std::vector<uint8_t>& bytes) {
  Cable& k = host.cables[n];
  if (!k.writing && k.h != INVALID_HANDLE_VALUE) StartWrite(k, bytes);
}

int64_t ConnSend(Conn& c, const char* data, size_t size) {
  int w = send(static_cast<SOCKET>(c.sock), data, static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
  if (w == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return w > 0 ? w : -1;
}

int64_t ConnRecv(Conn& c, char* buf, size_t size) {
  int r = recv(static_cast<SOCKET>(c.sock), buf, static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
  if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return r > 0 ? r : -1;  // 0: the peer closed
}

void CableFlush(Sim&, int n) {
  Cable& k = host.cables[n];
  if (k.h != INVALID_HANDLE_VALUE) PurgeComm(k.h, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

int main(int argc, char** argv) {
  int64_t controlPort = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* v = argv[++i];
    if (a == "--pair") {
      if (!ParsePair(v)) return Usage();
    } else if (a == "--port-file") {
      host.portFile = v;
    } else if (a == "--control-port") {
      if (!ParseInt(v, 0, 65535, &controlPort)) return Usage();
    } else {
      return Usage();
    }
  }
  for (Cable& k : host.cables) {
    k.rd.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    k.wr.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!k.rd.hEvent || !k.wr.hEvent) return 1;
  }
  host.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!host.stopEvent || !SetConsoleCtrlHandler(OnConsoleStop, TRUE)) return 1;
  WSADATA wsa{};
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  // Scheduled replies ("delay=", "gap=") need millisecond waits, not 15.6 ms ticks.
  timeBeginPeriod(1);
  int rc = 0;
  if (Listen(static_cast<int>(controlPort))) {
    Loop();
  } else {
    fprintf(stderr, "devsim: cannot listen, error %d\n", WSAGetLastError());
    rc = 1;
  }
  Shutdown();
  timeEndPeriod(1);
  WSACleanup();
  fprintf(stderr, "devsim: stopped\n");
  return rc;
}
