// Fuzzes the reply parser with arbitrary byte streams cut into arbitrary deliveries, the way
// a port hands them over, and checks the parser's invariants after every delivery.
#include "link/device_link.h"

#include <cstdlib>
#include <cstring>

static DeviceLink link;

static void Check(bool condition)
{
    if (!condition)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::memset(&link, 0, sizeof link);
    link.ResetParser();
    // Input: a sequence of [cut byte][bytes...]: the cut byte's value says how many of the
    // following bytes form the next delivery (0 = an empty delivery).
    size_t at = 0;
    while (at < size) {
        uint32_t want = data[at++];
        if (want > size - at)
            want = static_cast<uint32_t>(size - at);
        uint32_t before = link.frameCount;
        bool accepted = link.Parse(data + at, want);
        at += want;

        Check(accepted == (link.frameCount != before));
        Check(link.rxRemaining >= 1 && link.rxRemaining <= LINK_MAX_PAYLOAD + 4);
        Check(link.rxIndex <= LINK_BUFFER_SIZE + 3);
        Check(link.NextReadSize() >= 1 && link.NextReadSize() <= LINK_MAX_READ);
        if (link.rxIndex == 0)
            Check(link.rxRemaining == 1);
        if (accepted && link.rxIndex == 0)
            Check(link.payloadLength <= LINK_MAX_PAYLOAD);
    }
    return 0;
}
