// DeviceLink's Win32 side: its two events and the handler that each port's I/O thread calls.
#include "device_link.h"

#include "serial/serial_port.h"

#include <cstring>
#include <type_traits>

static_assert(std::is_same_v<LinkEvent, HANDLE>, "LinkEvent must hold a HANDLE");

void DeviceLink::Create()
{
    port = nullptr;
    frameCount = 0;
    ResetParser();
    payloadLength = 0;
    acceptedLength = 0;
    frameReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    writeComplete = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

static void CloseEvent(LinkEvent* event)
{
    if (*event && *event != INVALID_HANDLE_VALUE)
        CloseHandle(*event);
    *event = INVALID_HANDLE_VALUE;
}

void DeviceLink::Destroy()
{
    CloseEvent(&frameReady);
    CloseEvent(&writeComplete);
}

// Nothing of one port may carry over to the next: a late reply from a rejected port must never
// identify the next one. Only call this while no port reports into the link.
void DeviceLink::PrepareForPort(SerialPort* next)
{
    port = next;
    ResetParser();
    payloadLength = 0;
    acceptedLength = 0;
    std::memset(payload, 0, sizeof payload);
    WaitForSingleObject(frameReady, 0);    // takes a pending signal, if any
    WaitForSingleObject(writeComplete, 0);
}

void DeviceLink::OnSerialEvent(SerialPort* from, int32_t kind)
{
    if (!from)
        return;
    switch (kind) {
    case SE_STARTED:
        from->RequestRead(1);
        break;
    case SE_WRITE_DONE:
        SetEvent(writeComplete);
        break;
    case SE_DATA: {
        uint32_t count = from->bytesRead <= SERIAL_BUFFER_SIZE ? from->bytesRead : SERIAL_BUFFER_SIZE;
        bool accepted = Parse(from->readBuffer, count);
        from->RequestRead(NextReadSize());
        if (accepted)
            SetEvent(frameReady);
        break;
    }
    default: // SE_CLOSED, modem events: nothing to do
        break;
    }
}

void DeviceLinkCallback(SerialPort* port, void* user, int32_t kind)
{
    if (user)
        static_cast<DeviceLink*>(user)->OnSerialEvent(port, kind);
}
