// Measures the serial engine's read time-out on a real (virtual) COM port: the time from
// RequestRead to the empty SE_DATA of a read that receives nothing, for several sizes, against
// the 10 + N ms the port is configured for. The device on the port (given as argument, default
// COM3) must stay silent.
//   read-timeout-bench [PORT] [REPEATS]
#include "serial/serial_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double NowMs()
{
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return now.QuadPart * 1000.0 / freq.QuadPart;
}

struct Probe {
    HANDLE done;   // auto-reset: a read ended
    uint32_t bytes;
};

void OnEvent(SerialPort* port, void* user, int32_t kind)
{
    Probe* probe = static_cast<Probe*>(user);
    if (kind == SE_DATA) {
        probe->bytes = port->bytesRead;
        SetEvent(probe->done);
    } else if (kind == SE_STARTED) {
        SetEvent(probe->done);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* name = argc > 1 ? argv[1] : L"COM3";
    int repeats = argc > 2 ? _wtoi(argv[2]) : 20;
    Probe probe = {CreateEventW(nullptr, FALSE, FALSE, nullptr), 0};
    SerialPort* port = CreateSerialPort();
    port->callback = OnEvent;
    port->user = &probe;
    if (port->Open(name) != OPEN_OK || WaitForSingleObject(probe.done, 5000) != WAIT_OBJECT_0) {
        fprintf(stderr, "cannot open %ls\n", name);
        return 1;
    }
    printf("%-6s %10s %10s %10s %10s\n", "N", "min ms", "median ms", "max ms", "10+N ms");
    for (uint32_t n : {1u, 16u, 256u}) {
        std::vector<double> samples;
        for (int i = 0; i < repeats; i++) {
            double start = NowMs();
            port->RequestRead(n);
            if (WaitForSingleObject(probe.done, 5000) != WAIT_OBJECT_0 || probe.bytes != 0) {
                fprintf(stderr, "read of %u did not end empty\n", n);
                return 1;
            }
            samples.push_back(NowMs() - start);
        }
        std::sort(samples.begin(), samples.end());
        printf("%-6u %10.2f %10.2f %10.2f %10u\n", n, samples.front(), samples[samples.size() / 2],
               samples.back(), 10 + n);
    }
    port->Close();
    ReleaseSerialPort(port, 5000);
    CloseHandle(probe.done);
    return 0;
}
