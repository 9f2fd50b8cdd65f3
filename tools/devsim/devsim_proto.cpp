#include "devsim_proto.h"

#include <algorithm>

namespace {

constexpr int64_t kMaxMs = 600'000;
constexpr size_t kMaxHexBytes = 8192;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SetInt(std::string_view v, int64_t lo, int64_t hi, int* out) {
  int64_t x = 0;
  if (!ParseInt(v, lo, hi, &x)) return false;
  *out = static_cast<int>(x);
  return true;
}

bool SetChoice(std::string_view v, std::string_view no, std::string_view yes, bool* out) {
  if (v != no && v != yes) return false;
  *out = v == yes;
  return true;
}

bool SetMode(std::string_view v, Mode* out) {
  static constexpr struct { std::string_view name; Mode mode; } kModes[] = {
      {"silent", Mode::Silent}, {"identify", Mode::Identify},
      {"raw", Mode::Raw},       {"flood", Mode::Flood}};
  for (const auto& m : kModes) {
    if (m.name == v) {
      *out = m.mode;
      return true;
    }
  }
  return false;
}

bool SetKey(std::string_view key, std::string_view v, Behaviour* b) {
  if (key == "mode") return SetMode(v, &b->mode);
  if (key == "version") return SetInt(v, 0, 255, &b->version);
  if (key == "b0") return SetInt(v, 0, 255, &b->b0);
  if (key == "len") return SetInt(v, 0, 4095, &b->len);
  if (key == "delay") return SetInt(v, 0, kMaxMs, &b->delayMs);
  if (key == "chunk") return SetInt(v, 1, 65536, &b->chunk);
  if (key == "gap") return SetInt(v, 0, kMaxMs, &b->gapMs);
  if (key == "repeat") return SetInt(v, 1, 1000, &b->repeat);
  if (key == "repeatgap") return SetInt(v, 0, kMaxMs, &b->repeatGapMs);
  if (key == "dfudelay") return SetInt(v, 0, kMaxMs, &b->dfuDelayMs);
  if (key == "rate") return SetInt(v, 1, 10'000'000, &b->rate);
  if (key == "stray") return ParseHex(v, &b->stray);
  if (key == "raw") return ParseHex(v, &b->raw);
  if (key == "dfuraw") return ParseHex(v, &b->dfuRaw);
  if (key == "onidentify") return SetChoice(v, "reply", "hangup", &b->hangupOnIdentify);
  if (key == "dfu") return SetChoice(v, "ignore", "hangup", &b->dfuHangup);
  if (key == "sig") {
    if (v.size() != 3) return false;
    for (size_t i = 0; i < 3; ++i) b->sig[i] = v[i];
    return true;
  }
  return false;
}

}  // namespace

std::vector<uint8_t> IdentityFrame(const Behaviour& b) {
  std::vector<uint8_t> payload(static_cast<size_t>(std::max(b.len, 12)));
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  payload[0] = static_cast<uint8_t>(b.b0);
  for (size_t i = 0; i < 3; ++i) payload[1 + i] = static_cast<uint8_t>(b.sig[i]);
  payload[11] = static_cast<uint8_t>(b.version);
  payload.resize(static_cast<size_t>(b.len));  // a short payload is simply cut

  std::vector<uint8_t> frame;
  frame.reserve(payload.size() + 4);
  frame.push_back(0x02);
  frame.push_back(static_cast<uint8_t>(b.len & 0xFF));
  frame.push_back(static_cast<uint8_t>(0xF0 | ((b.len >> 8) & 0x0F)));
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(0x03);
  return frame;
}

std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool ParseInt(std::string_view s, int64_t lo, int64_t hi, int64_t* out) {
  if (s.empty() || s.size() > 12) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseHex(std::string_view s, std::vector<uint8_t>* out) {
  if (s.size() % 2 != 0 || s.size() / 2 > kMaxHexBytes) return false;
  std::vector<uint8_t> bytes;
  bytes.reserve(s.size() / 2);
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  *out = std::move(bytes);
  return true;
}

bool ParseBehaviour(const std::vector<std::string_view>& words, Behaviour* out,
                    std::string* error) {
  Behaviour b;
  for (std::string_view w : words) {
    size_t eq = w.find('=');
    if (eq == std::string_view::npos || !SetKey(w.substr(0, eq), w.substr(eq + 1), &b)) {
      *error = "bad setting ";
      error->append(w);
      return false;
    }
  }
  *out = std::move(b);
  return true;
}
