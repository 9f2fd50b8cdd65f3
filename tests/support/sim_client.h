// Test-side client of the device simulator's control connection (Winsock).
//
// The simulator runs on the Linux host and serves virtual COM ports of the Wine prefix the
// tests run in; its control port number is in the file named by DEVSIM_PORT_FILE (a Unix
// path). Each command is one line and gets one reply line starting with "ok" or "err".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "win_util.h"

struct SimClient {
  uintptr_t socket = ~uintptr_t{0};  // a SOCKET; all bits set when not connected
};

bool SimConnect(SimClient& c);
void SimDisconnect(SimClient& c);
// Sends line + '\n' and reads one reply line (without '\n') into *reply, if given.
// True when the reply starts with "ok".
bool SimCommand(SimClient& c, const char* line, std::string* reply);

struct SimFrame {
  int64_t us;  // when its last byte was read by the device, microseconds since 1970
  std::vector<uint8_t> bytes;
};
struct SimEvent {
  int64_t us;
  std::string word;  // added, reply, dfu, hangup, removed, lost
};

// "frames N": the command frames port N received since it was added or cleared.
bool SimFrames(SimClient& c, int port, std::vector<SimFrame>* out);
// "rx N": the raw chunks as the device read them.
bool SimRx(SimClient& c, int port, std::vector<SimFrame>* out);
// "events N": what the device did.
bool SimEvents(SimClient& c, int port, std::vector<SimEvent>* out);

// The simulator stamps with UnixMicrosNow's clock (win_util.h).
