// Open when the I/O thread cannot be started. This executable replaces the C runtime's
// _beginthreadex import with one that fails, so it holds only this case.
#include "serial/serial_port.h"
#include "tests/support/sim_client.h"

#include <gtest/gtest.h>

#include <process.h>

extern "C" {
static uintptr_t __cdecl FailingBeginThreadEx(void*, unsigned, unsigned(__stdcall*)(void*), void*,
                                              unsigned, unsigned*)
{
    return 0;
}
// The import slot the compiler calls _beginthreadex through; defined here, the linker takes it
// instead of the runtime's.
void* __imp__beginthreadex = reinterpret_cast<void*>(&FailingBeginThreadEx);
}

TEST(SerialPortThreadFailure, OpenReportsItAndClosesThePort)
{
    SimClient sim{};
    ASSERT_TRUE(SimConnect(sim));
    ASSERT_TRUE(SimCommand(sim, "reset", nullptr));
    ASSERT_TRUE(SimCommand(sim, "add 4", nullptr));

    SerialPort* port = CreateSerialPort();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->Open(L"COM4"), OPEN_THREAD_FAILED);
    EXPECT_EQ(port->thread, nullptr);
    EXPECT_EQ(port->handle, INVALID_HANDLE_VALUE);
    port->Close();
    EXPECT_TRUE(ReleaseSerialPort(port, 0));

    SimCommand(sim, "reset", nullptr);
    SimDisconnect(sim);
}
