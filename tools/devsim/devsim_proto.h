// Device side of the serial protocol as the simulator plays it, and the parsing of its
// control commands. No I/O here, so it can be tested on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint8_t kCmdIdentify = 0x0A;
inline constexpr uint8_t kCmdBootloader = 0x50;

enum class Mode { Silent, Identify, Raw, Flood };

// How a simulated device answers; "behave N key=value ..." replaces it as a whole.
struct Behaviour {
  Mode mode = Mode::Silent;
  int version = 15;  // firmware version in tenths
  char sig[3] = {'P', 'S', 'U'};
  int b0 = 0;
  int len = 16;  // identity payload length
  int delayMs = 0;
  std::vector<uint8_t> stray;
  int chunk = 0;  // 0: whole reply in one write
  int gapMs = 0;
  int repeat = 1;
  int repeatGapMs = 0;
  std::vector<uint8_t> raw;
  bool hangupOnIdentify = false;
  bool dfuHangup = false;
  int dfuDelayMs = 0;
  std::vector<uint8_t> dfuRaw;
  int rate = 5000;  // flood bytes per second
};

// The framed identity reply: 02, L low, F0 | L high nibble, payload, 03.
std::vector<uint8_t> IdentityFrame(const Behaviour& b);

std::vector<std::string_view> SplitWords(std::string_view line);
// Whole string a decimal integer within [lo, hi].
bool ParseInt(std::string_view s, int64_t lo, int64_t hi, int64_t* out);
// Even number of hex digits, either case.
bool ParseHex(std::string_view s, std::vector<uint8_t>* out);
// key=value words; keys not given keep the defaults. On failure *error names the bad word.
bool ParseBehaviour(const std::vector<std::string_view>& words, Behaviour* out, std::string* error);
