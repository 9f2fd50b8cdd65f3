#include "serial_port.h"

#include <process.h>

#include <cstring>
#include <cwchar>
#include <new>

#ifndef STATUS_TIMEOUT
#define STATUS_TIMEOUT ((DWORD)0x00000102L)
#endif

namespace {

constexpr DWORD MODEM_EVENTS = EV_RING | EV_RLSD;

void Report(SerialPort* port, int32_t kind)
{
    SerialCallback callback = port->callback;
    if (callback)
        callback(port, port->user, kind);
}

bool ApplyTimeouts(HANDLE handle)
{
    // A read of N bytes ends when they have come or after 10 + N ms, with what came.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 10;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

bool ApplyLineSettings(const SerialPort* port)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = port->baudRate;
    dcb.fBinary = 1;
    dcb.fParity = (port->parity == 1 || port->parity == 2) ? 1 : 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2;
    dcb.XoffLim = 4;
    dcb.ByteSize = 8;
    dcb.Parity = port->parity == 1 ? ODDPARITY : port->parity == 2 ? EVENPARITY : NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Flow control is off, so these take no effect; they are passed as the device expects them.
    dcb.XonChar = 0x13;
    dcb.XoffChar = 0x19;
    return SetCommState(port->handle, &dcb) != 0;
}

bool AllEventsPresent(const SerialPort* port)
{
    for (HANDLE event : port->events)
        if (!event)
            return false;
    return true;
}

OVERLAPPED* Overlapped(SerialPort* port, int completionSlot)
{
    return completionSlot == SLOT_READ_DONE    ? &port->readOverlapped
           : completionSlot == SLOT_WRITE_DONE ? &port->writeOverlapped
                                               : &port->commOverlapped;
}

void CloseHandleIfOpen(HANDLE* handle)
{
    if (*handle != INVALID_HANDLE_VALUE) {
        CloseHandle(*handle);
        *handle = INVALID_HANDLE_VALUE;
    }
}

// Ports without modem lines (a pty under Wine, some USB adapters) refuse modem-event waits
// with one of these. The device protocol needs no modem lines, so such a port stops watching
// them and keeps serving reads and writes.
bool IsModemUnsupported(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_INVALID_PARAMETER;
}

// The close path: nothing in flight is reported, SE_CLOSED is the last report.
void ClosePath(SerialPort* port)
{
    port->running = false;
    if (port->handle != INVALID_HANDLE_VALUE) {
        // Let cancelled operations finish writing their OVERLAPPED records before the port can
        // be released; otherwise the system could write into freed memory. Only operations that
        // really are in flight are waited for: one that failed to start may never complete.
        // A modem-event wait ends when the mask changes; some drivers (Wine's among them) do
        // not cancel it otherwise.
        SetCommMask(port->handle, 0);
        CancelIoEx(port->handle, nullptr);
        const int completions[] = {SLOT_READ_DONE, SLOT_WRITE_DONE, SLOT_COMM_DONE};
        for (int slot : completions) {
            DWORD n = 0;
            if (port->inFlight & (1u << slot))
                GetOverlappedResult(port->handle, Overlapped(port, slot), &n, TRUE);
        }
        port->inFlight = 0;
    }
    CloseHandleIfOpen(&port->handle);
    Report(port, SE_CLOSED);
}

// After ReadFile, WriteFile or WaitCommEvent: true while the operation finished at once or is
// in flight (then its completion slot is marked); false when it failed to start.
bool StartedOrPending(SerialPort* port, int completionSlot, BOOL result)
{
    if (result)
        return true;
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    port->inFlight |= 1u << completionSlot;
    return true;
}

// A read that fails like this tells that the device is gone (cable pulled, adapter removed, the
// far end of a virtual port hung up): nothing will ever be read again, so the port closes and
// the owner hears SE_CLOSED. Other read failures leave the port open.
bool IsDeviceGone(DWORD error)
{
    switch (error) {
    case ERROR_BROKEN_PIPE:          // Wine: the pty's far end hung up
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:          // USB serial drivers after surprise removal
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_INVALID_HANDLE:
        return true;
    default:
        return false;
    }
}

bool StartRead(SerialPort* port)
{
    if (port->readPending)
        return true; // a request while a read is in flight is dropped
    port->readPending = true;
    DWORD n = 0;
    BOOL result = ReadFile(port->handle, port->readBuffer, port->readSize, &n, &port->readOverlapped);
    return StartedOrPending(port, SLOT_READ_DONE, result);
}

// false when the device is gone.
bool CompleteRead(SerialPort* port)
{
    port->inFlight &= ~(1u << SLOT_READ_DONE);
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(port->handle, &port->readOverlapped, &n, FALSE);
    // A read that ends by its time-out is a success with what came. Windows says so; Wine
    // reports the STATUS_TIMEOUT completion as a failure (ERROR_TIMEOUT), with the same count.
    if (!ok && port->readOverlapped.Internal == STATUS_TIMEOUT) {
        ok = TRUE;
        n = static_cast<DWORD>(port->readOverlapped.InternalHigh);
    }
    ResetEvent(port->events[SLOT_READ_DONE]);
    port->readPending = false;
    if (ok) {
        port->bytesRead = n <= SERIAL_BUFFER_SIZE ? n : SERIAL_BUFFER_SIZE;
        Report(port, SE_DATA);
        return true;
    }
    DWORD error = GetLastError();
    // Otherwise a failed read does not end the thread; bytes it may have brought are not delivered.
    port->bytesRead = 0;
    if (IsDeviceGone(error))
        return false;
    if (n != 0)
        Report(port, SE_DATA);
    return true;
}

bool StartWrite(SerialPort* port)
{
    DWORD n = 0;
    BOOL result =
        WriteFile(port->handle, port->writeBuffer, port->writeLength, &n, &port->writeOverlapped);
    return StartedOrPending(port, SLOT_WRITE_DONE, result);
}

bool CompleteWrite(SerialPort* port)
{
    DWORD n = 0;
    if (!GetOverlappedResult(port->handle, &port->writeOverlapped, &n, FALSE))
        return GetLastError() == ERROR_IO_PENDING;
    port->inFlight &= ~(1u << SLOT_WRITE_DONE);
    ResetEvent(port->events[SLOT_WRITE_DONE]);
    port->writePending = false;
    Report(port, SE_WRITE_DONE);
    return true;
}

void StopWatchingModem(SerialPort* port)
{
    port->watchModem = false;
    port->commPending = false;
    ResetEvent(port->events[SLOT_COMM_DONE]);
}

bool StartModemWait(SerialPort* port)
{
    if (port->commPending || !port->watchModem)
        return true;
    port->commPending = true;
    BOOL result = WaitCommEvent(port->handle, &port->commMask, &port->commOverlapped);
    if (StartedOrPending(port, SLOT_COMM_DONE, result))
        return true;
    if (!IsModemUnsupported(GetLastError()))
        return false;
    StopWatchingModem(port);
    return true;
}

void ReportModemLines(SerialPort* port, DWORD mask)
{
    DWORD lines = 0;
    if (!GetCommModemStatus(port->handle, &lines))
        lines = 0; // lines unknown: taken as off
    if ((mask & EV_RING) && (lines & MS_RING_ON))
        Report(port, SE_RING);
    if (mask & EV_RLSD)
        Report(port, (lines & MS_RLSD_ON) ? SE_CARRIER_ON : SE_CARRIER_OFF);
}

bool CompleteModemWait(SerialPort* port)
{
    DWORD n = 0;
    if (!GetOverlappedResult(port->handle, &port->commOverlapped, &n, FALSE)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING)
            return true;
        port->inFlight &= ~(1u << SLOT_COMM_DONE);
        if (!IsModemUnsupported(error) && error != ERROR_OPERATION_ABORTED)
            return false;
        StopWatchingModem(port);
        return true;
    }
    port->inFlight &= ~(1u << SLOT_COMM_DONE);
    ResetEvent(port->events[SLOT_COMM_DONE]);
    DWORD mask = port->commMask;
    port->commPending = false;
    ReportModemLines(port, mask);
    SetEvent(port->events[SLOT_COMM_REQUEST]);
    return true;
}

// Serves one signalled slot; false means the close path.
bool Serve(SerialPort* port, DWORD slot)
{
    switch (slot) {
    case SLOT_READ_DONE:
        return CompleteRead(port);
    case SLOT_READ_REQUEST:
        return StartRead(port);
    case SLOT_WRITE_DONE:
        return CompleteWrite(port);
    case SLOT_WRITE_REQUEST:
        return StartWrite(port);
    case SLOT_COMM_DONE:
        return CompleteModemWait(port);
    case SLOT_COMM_REQUEST:
        return StartModemWait(port);
    default: // SLOT_STOP, or the wait failed
        return false;
    }
}

unsigned __stdcall IoThread(void* arg)
{
    SerialPort* port = static_cast<SerialPort*>(arg);
    if (!port)
        return 0;
    port->running = true;
    port->writePending = false;
    port->readPending = false;
    port->commPending = false;
    port->inFlight = 0;
    Report(port, SE_STARTED);
    if (port->watchModem)
        SetEvent(port->events[SLOT_COMM_REQUEST]);
    for (;;) {
        DWORD result = WaitForMultipleObjects(SLOT_COUNT, port->events, FALSE, INFINITE);
        DWORD slot = result - WAIT_OBJECT_0;
        if (slot >= SLOT_COUNT || !Serve(port, slot))
            break;
    }
    ClosePath(port);
    return 0;
}

} // namespace

SerialPort* CreateSerialPort()
{
    SerialPort* port = new (std::nothrow) SerialPort();
    if (!port)
        return nullptr;
    port->handle = INVALID_HANDLE_VALUE;
    port->thread = nullptr;
    port->closedThread = nullptr;
    port->readSize = 1;
    for (int slot = 0; slot < SLOT_COUNT; slot++) {
        BOOL manual = slot == SLOT_READ_DONE || slot == SLOT_WRITE_DONE || slot == SLOT_COMM_DONE;
        port->events[slot] = CreateEventW(nullptr, manual, FALSE, nullptr);
    }
    return port;
}

bool ReleaseSerialPort(SerialPort* port, DWORD waitMs)
{
    if (!port)
        return true;
    HANDLE thread = port->thread ? port->thread : port->closedThread;
    if (thread && WaitForSingleObject(thread, waitMs) != WAIT_OBJECT_0)
        return false;
    if (thread)
        CloseHandle(thread);
    CloseHandleIfOpen(&port->handle);
    for (HANDLE event : port->events)
        if (event)
            CloseHandle(event);
    delete port;
    return true;
}

OpenResult SerialPort::Open(const wchar_t* portName)
{
    CloseHandleIfOpen(&handle);
    OpenResult result = OPEN_OK;
    if (!portName) {
        result = OPEN_NO_NAME;
    } else if (wcsnlen(portName, SERIAL_NAME_CHARS) >= SERIAL_NAME_CHARS) {
        result = OPEN_PORT_FAILED; // would not fit in name with its terminator
    } else {
        std::memset(name, 0, sizeof name);
        std::wcscpy(name, portName);
        baudRate = 115200;
        parity = 0;
        watchModem = true;
        std::memset(&readOverlapped, 0, sizeof readOverlapped);
        std::memset(&writeOverlapped, 0, sizeof writeOverlapped);
        std::memset(&commOverlapped, 0, sizeof commOverlapped);
        handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        readOverlapped.hEvent = events[SLOT_READ_DONE];
        writeOverlapped.hEvent = events[SLOT_WRITE_DONE];
        commOverlapped.hEvent = events[SLOT_COMM_DONE];
        if (handle == INVALID_HANDLE_VALUE) {
            result = OPEN_PORT_FAILED;
        } else {
            // All three are applied; the last one that fails decides the result.
            if (!SetCommMask(handle, watchModem ? MODEM_EVENTS : 0))
                result = OPEN_MASK_FAILED;
            if (!ApplyTimeouts(handle))
                result = OPEN_TIMEOUTS_FAILED;
            if (!ApplyLineSettings(this))
                result = OPEN_STATE_FAILED;
        }
    }
    if (!AllEventsPresent(this))
        result = OPEN_NO_EVENTS;
    if (result == OPEN_OK) {
        uintptr_t started = _beginthreadex(nullptr, 0, IoThread, this, 0, &threadId);
        thread = reinterpret_cast<HANDLE>(started);
        if (!thread)
            result = OPEN_THREAD_FAILED;
    }
    if (result != OPEN_OK)
        CloseHandleIfOpen(&handle);
    return result;
}

void SerialPort::Send(const uint8_t* bytes, uint32_t count)
{
    // One write in flight at a time; a frame that does not fit is refused, never cut.
    if (writePending || !bytes || count > SERIAL_BUFFER_SIZE)
        return;
    writePending = true;
    std::memcpy(writeBuffer, bytes, count);
    writeLength = count;
    SetEvent(events[SLOT_WRITE_REQUEST]);
}

void SerialPort::RequestRead(uint32_t size)
{
    readSize = size < 1 ? 1 : size > SERIAL_BUFFER_SIZE ? SERIAL_BUFFER_SIZE : size;
    SetEvent(events[SLOT_READ_REQUEST]);
}

void SerialPort::Close()
{
    running = false;
    SetEvent(events[SLOT_STOP]);
    if (!thread)
        return;
    WaitForSingleObject(thread, SERIAL_CLOSE_WAIT_MS);
    closedThread = thread;
    thread = nullptr;
}
