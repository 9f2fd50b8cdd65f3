#include "sim_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kSocketTimeoutMs = 15000;
constexpr size_t kMaxReply = 16 * 1024 * 1024;

// DEVSIM_PORT_FILE holds a Unix path; under Wine the host's root is drive Z:.
bool PortFilePath(wchar_t* path, size_t size) {
  wchar_t value[1024];
  DWORD n = GetEnvironmentVariableW(L"DEVSIM_PORT_FILE", value, 1024);
  if (n == 0 || n >= 1024) return false;
  const wchar_t* drive = value[0] == L'/' ? L"Z:" : L"";
  if (_snwprintf_s(path, size, _TRUNCATE, L"%ls%ls", drive, value) < 0) return false;
  for (wchar_t* p = path; *p; ++p)
    if (*p == L'/') *p = L'\\';
  return true;
}

int ReadControlPort() {
  wchar_t path[1100];
  if (!PortFilePath(path, 1100)) return 0;
  int port = atoi(ReadTextFile(path).c_str());
  return port > 0 && port < 65536 ? port : 0;
}

SOCKET Sock(const SimClient& c) { return static_cast<SOCKET>(c.socket); }

bool SendAll(SOCKET s, const char* data, size_t size) {
  while (size > 0) {
    int n = send(s, data, static_cast<int>(size), 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// "ok 123:abcd 456:word" -> pairs of (123, "abcd"), (456, "word").
template <typename Fn>
bool ParseEntries(const std::string& reply, Fn add) {
  if (reply.compare(0, 2, "ok") != 0) return false;
  size_t i = 2;
  while (i < reply.size()) {
    while (i < reply.size() && reply[i] == ' ') ++i;
    if (i == reply.size()) break;
    size_t end = reply.find(' ', i);
    if (end == std::string::npos) end = reply.size();
    size_t colon = reply.find(':', i);
    if (colon == std::string::npos || colon >= end) return false;
    int64_t us = _strtoi64(reply.c_str() + i, nullptr, 10);
    if (!add(us, reply.substr(colon + 1, end - colon - 1))) return false;
    i = end;
  }
  return true;
}

bool HexBytes(const std::string& hex, std::vector<uint8_t>* out) {
  if (hex.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    char pair[3] = {hex[i], hex[i + 1], 0};
    char* end = nullptr;
    unsigned long v = strtoul(pair, &end, 16);
    if (end != pair + 2) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool ByteLog(SimClient& c, const char* what, int port, std::vector<SimFrame>* out) {
  char line[32];
  snprintf(line, sizeof line, "%s %d", what, port);
  std::string reply;
  out->clear();
  if (!SimCommand(c, line, &reply)) return false;
  return ParseEntries(reply, [out](int64_t us, const std::string& hex) {
    SimFrame f{us, {}};
    if (!HexBytes(hex, &f.bytes)) return false;
    out->push_back(std::move(f));
    return true;
  });
}

}  // namespace

bool SimConnect(SimClient& c) {
  SimDisconnect(c);
  int port = ReadControlPort();
  if (port == 0) return false;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    WSACleanup();
    return false;
  }
  DWORD timeout = kSocketTimeoutMs;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    closesocket(s);
    WSACleanup();
    return false;
  }
  c.socket = static_cast<uintptr_t>(s);
  return true;
}

void SimDisconnect(SimClient& c) {
  if (Sock(c) == INVALID_SOCKET) return;
  closesocket(Sock(c));
  c.socket = static_cast<uintptr_t>(INVALID_SOCKET);
  WSACleanup();
}

bool SimCommand(SimClient& c, const char* line, std::string* reply) {
  std::string got;
  if (reply) reply->clear();
  if (Sock(c) == INVALID_SOCKET) return false;
  std::string request = line;
  request += '\n';
  if (!SendAll(Sock(c), request.data(), request.size())) return false;
  // One reply per request and nothing in between, so everything up to '\n' is this reply.
  char buf[4096];
  while (got.empty() || got.back() != '\n') {
    int n = recv(Sock(c), buf, sizeof buf, 0);
    if (n <= 0 || got.size() > kMaxReply) return false;
    got.append(buf, static_cast<size_t>(n));
  }
  got.pop_back();
  if (got.find('\n') != std::string::npos) return false;
  bool ok = got.compare(0, 2, "ok") == 0 && (got.size() == 2 || got[2] == ' ');
  if (reply) *reply = std::move(got);
  return ok;
}

bool SimFrames(SimClient& c, int port, std::vector<SimFrame>* out) {
  return ByteLog(c, "frames", port, out);
}

bool SimRx(SimClient& c, int port, std::vector<SimFrame>* out) {
  return ByteLog(c, "rx", port, out);
}

bool SimEvents(SimClient& c, int port, std::vector<SimEvent>* out) {
  char line[32];
  snprintf(line, sizeof line, "events %d", port);
  std::string reply;
  out->clear();
  if (!SimCommand(c, line, &reply)) return false;
  return ParseEntries(reply, [out](int64_t us, const std::string& word) {
    out->push_back({us, word});
    return true;
  });
}
