// Throughput of the reply parser against memcpy of the same bytes, the ceiling for any code
// that looks at every byte once. The stream is a run of well-formed reply frames, fed either
// in one call or in the deliveries the link asks for (NextReadSize), as a port hands them over.
// A run whose frames are not all accepted is reported as an error, not as a speed.
#include "link/device_link.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr size_t STREAM_BYTES = 64 * 1024; // stays in cache: the parser's own cost, not memory's

// Frames with payloads of `payload` bytes, as many as fit in STREAM_BYTES.
std::vector<uint8_t> FrameStream(uint16_t payload, size_t* frames)
{
    std::vector<uint8_t> frame = {STX, static_cast<uint8_t>(payload & 0xFF),
                                  static_cast<uint8_t>(0xF0 | ((payload >> 8) & 0x0F))};
    for (uint16_t i = 0; i < payload; i++)
        frame.push_back(static_cast<uint8_t>(i * 7 + 1)); // any value, ETX and STX included
    frame.push_back(ETX);
    std::vector<uint8_t> stream;
    *frames = 0;
    while (stream.size() + frame.size() <= STREAM_BYTES) {
        stream.insert(stream.end(), frame.begin(), frame.end());
        (*frames)++;
    }
    return stream;
}

std::unique_ptr<DeviceLink> NewLink()
{
    auto link = std::make_unique<DeviceLink>();
    std::memset(link.get(), 0, sizeof(DeviceLink));
    link->ResetParser();
    return link;
}

void Memcpy(benchmark::State& state)
{
    size_t frames = 0;
    std::vector<uint8_t> stream = FrameStream(static_cast<uint16_t>(state.range(0)), &frames);
    std::vector<uint8_t> copy(stream.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), stream.data(), stream.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void ParseOneCall(benchmark::State& state)
{
    size_t frames = 0;
    std::vector<uint8_t> stream = FrameStream(static_cast<uint16_t>(state.range(0)), &frames);
    std::unique_ptr<DeviceLink> link = NewLink();
    for (auto _ : state) {
        link->Parse(stream.data(), static_cast<uint32_t>(stream.size()));
        benchmark::DoNotOptimize(link->frameCount);
    }
    if (link->frameCount != state.iterations() * frames)
        state.SkipWithError("the parser did not accept every frame");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void ParseAsDelivered(benchmark::State& state)
{
    size_t frames = 0;
    std::vector<uint8_t> stream = FrameStream(static_cast<uint16_t>(state.range(0)), &frames);
    std::unique_ptr<DeviceLink> link = NewLink();
    for (auto _ : state) {
        size_t at = 0;
        while (at < stream.size()) {
            uint32_t want = link->NextReadSize();
            if (want > stream.size() - at)
                want = static_cast<uint32_t>(stream.size() - at);
            link->Parse(stream.data() + at, want);
            at += want;
        }
        benchmark::DoNotOptimize(link->frameCount);
    }
    if (link->frameCount != state.iterations() * frames)
        state.SkipWithError("the parser did not accept every frame");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

// 12: the shortest identity reply; 16: the identity reply as the device sends it;
// 4092: the largest frame the link keeps.
BENCHMARK(Memcpy)->Arg(12)->Arg(16)->Arg(4092);
BENCHMARK(ParseOneCall)->Arg(12)->Arg(16)->Arg(4092);
BENCHMARK(ParseAsDelivered)->Arg(12)->Arg(16)->Arg(4092);

} // namespace

BENCHMARK_MAIN();
