// The byte-level protocol with the device: command frames, reply frames and the record
// through which an update run waits for the device.
//
// This header is free of Win32 so that the reply parser also builds with the host compiler
// (unit tests under sanitizers, fuzzing). The two event fields hold Win32 event HANDLEs.
#pragma once

#include <cstdint>

struct SerialPort;

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t CMD_IDENTIFY = 0x0A;
constexpr uint8_t CMD_ENTER_DFU = 0x50;

constexpr uint32_t COMMAND_FRAME_SIZE = 4;
constexpr uint32_t LINK_BUFFER_SIZE = 4096;             // the largest reply frame kept
constexpr uint32_t LINK_MAX_PAYLOAD = LINK_BUFFER_SIZE - 4; // 4092: STX, two length bytes, ETX
constexpr uint32_t LINK_MAX_READ = 256;                 // a port's read buffer

// Command frame: STX, the count of command bytes that follow (always 1), the command, ETX.
struct CommandFrame {
    uint8_t bytes[COMMAND_FRAME_SIZE];
};
CommandFrame MakeCommandFrame(uint8_t command);

using LinkEvent = void*; // a Win32 event HANDLE

struct DeviceLink {
    SerialPort* port;                 // the port being tried; used by the run, never by the parser
    uint32_t frameCount;              // frames accepted
    uint8_t rxBuffer[LINK_BUFFER_SIZE]; // the frame being assembled, from its STX on
    uint16_t rxIndex;                 // where the next byte goes; 0 while looking for STX
    uint16_t rxRemaining;             // bytes wanted next (1 through the header)
    uint8_t payload[LINK_BUFFER_SIZE]; // payload of the last accepted frame
    uint16_t payloadLength;           // L of the frame in progress; valid bytes of payload after a frame
    LinkEvent frameReady;             // auto-reset: a delivery accepted at least one frame
    LinkEvent writeComplete;          // auto-reset: the port finished a write
    uint16_t acceptedLength;          // valid bytes of payload: the last accepted frame's L

    // Reply parser (no Win32).
    void ResetParser();
    bool Parse(const uint8_t* bytes, uint32_t count); // true when a frame was accepted
    uint32_t NextReadSize() const;

    // Win32 side.
    void Create();
    void Destroy();
    void PrepareForPort(SerialPort* next);
    void OnSerialEvent(SerialPort* from, int32_t kind);
};

void DeviceLinkCallback(SerialPort* port, void* user, int32_t kind);
