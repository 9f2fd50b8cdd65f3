// A serial port with its own I/O thread. The owner asks for work with Send, RequestRead and
// Close; the I/O thread carries out overlapped reads, writes and modem-event waits and reports
// each result to the owner's callback, on the I/O thread itself.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

struct SerialPort;

enum SerialEventKind : int32_t {
    SE_STARTED = 0,     // first report of the I/O thread
    SE_CLOSED = 1,      // last report: the port is closed and the thread is ending
    SE_WRITE_DONE = 2,
    SE_DATA = 3,        // bytesRead and readBuffer hold the read's result
    SE_RING = 4,
    SE_CARRIER_ON = 5,
    SE_CARRIER_OFF = 6,
};

// Distinct codes, never combined.
enum OpenResult : int32_t {
    OPEN_OK = 0,
    OPEN_MASK_FAILED = 1,
    OPEN_TIMEOUTS_FAILED = 2,
    OPEN_STATE_FAILED = 4,
    OPEN_PORT_FAILED = 8,     // no such port, in use, or a name too long to hold
    OPEN_NO_NAME = 16,
    OPEN_NO_EVENTS = 32,
    OPEN_THREAD_FAILED = 64,  // the port opened but its I/O thread could not be started
};

// The event slots, in the order the I/O thread serves them when several are signalled.
enum SerialSlot : int32_t {
    SLOT_STOP = 0,          // auto, Close
    SLOT_READ_DONE = 1,     // manual, read completion
    SLOT_READ_REQUEST = 2,  // auto, RequestRead
    SLOT_WRITE_DONE = 3,    // manual, write completion
    SLOT_WRITE_REQUEST = 4, // auto, Send
    SLOT_COMM_DONE = 5,     // manual, modem-event completion
    SLOT_COMM_REQUEST = 6,  // auto, the I/O thread itself
    SLOT_COUNT = 7,
};

constexpr uint32_t SERIAL_NAME_CHARS = 10; // 9 characters and the terminator
constexpr uint32_t SERIAL_BUFFER_SIZE = 256;
constexpr DWORD SERIAL_CLOSE_WAIT_MS = 2000;

using SerialCallback = void (*)(SerialPort* port, void* user, int32_t kind);

struct SerialPort {
    std::atomic<bool> running;   // written by both threads, tested by neither
    bool watchModem;
    wchar_t name[SERIAL_NAME_CHARS];
    uint32_t baudRate;
    int32_t parity;              // 0 none, 1 odd, 2 even
    HANDLE events[SLOT_COUNT];
    unsigned threadId;
    HANDLE handle;               // INVALID_HANDLE_VALUE when no port is open
    HANDLE thread;               // null when there is no thread
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    OVERLAPPED commOverlapped;
    std::atomic<bool> writePending; // set by Send, cleared by the I/O thread
    bool readPending;            // I/O thread only
    bool commPending;            // I/O thread only
    uint8_t readBuffer[SERIAL_BUFFER_SIZE];
    uint32_t readSize;
    uint32_t bytesRead;
    uint8_t writeBuffer[SERIAL_BUFFER_SIZE];
    uint32_t writeLength;
    DWORD commMask;
    SerialCallback callback;
    void* user;
    HANDLE closedThread;         // the thread handle Close let go of, kept so the port can be released
    uint32_t inFlight;           // I/O thread only: bit per completion slot of an operation in flight

    OpenResult Open(const wchar_t* portName);
    void Send(const uint8_t* bytes, uint32_t count);
    void RequestRead(uint32_t size);
    void Close();
};

// A closed port object with its seven events; null when out of memory. Events that could not be
// created stay null, and Open then refuses with OPEN_NO_EVENTS.
SerialPort* CreateSerialPort();

// Frees the port, its events and its thread handle. Only possible once its I/O thread has ended:
// waits up to waitMs for that, and returns false (freeing nothing) if the thread still runs.
bool ReleaseSerialPort(SerialPort* port, DWORD waitMs);
