// Reply parser: assembles the device's reply frames from the bytes of successive reads.
// Frames are delimited by counting, never by searching for ETX: payload bytes may take any value.
#include "device_link.h"

#include <cstring>

CommandFrame MakeCommandFrame(uint8_t command)
{
    return CommandFrame{{STX, 0x01, command, ETX}};
}

void DeviceLink::ResetParser()
{
    rxIndex = 0;
    rxRemaining = 1;
}

// The length counts only when the high byte carries the 0xF marker in its upper nibble.
static uint16_t AnnouncedLength(uint8_t low, uint8_t high)
{
    if ((high & 0xF0) != 0xF0)
        return 0;
    return static_cast<uint16_t>((high & 0x0F) * 256 + low);
}

// One byte inside the body; returns true when it completed an accepted frame.
static bool TakeBodyByte(DeviceLink& link, uint8_t b)
{
    link.rxRemaining--;
    // A header may announce up to 4099 bytes; the bytes past the buffer are counted, not kept.
    if (link.rxIndex < LINK_BUFFER_SIZE)
        link.rxBuffer[link.rxIndex] = b;
    link.rxIndex++;
    if (link.rxRemaining != 0)
        return false;

    bool accepted = b == ETX && link.payloadLength <= LINK_MAX_PAYLOAD;
    if (accepted) {
        std::memcpy(link.payload, link.rxBuffer + 3, link.payloadLength);
        link.acceptedLength = link.payloadLength;
        link.frameCount++;
    } else {
        link.payloadLength = 0; // dropped: payload keeps the last accepted frame
    }
    link.ResetParser();
    return accepted;
}

bool DeviceLink::Parse(const uint8_t* bytes, uint32_t count)
{
    if (count == 0) {
        // A read that ended empty cuts a frame in progress short: the next byte is its end byte.
        payloadLength = 0;
        rxRemaining = 1;
        return false;
    }
    bool accepted = false;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t b = bytes[i];
        switch (rxIndex) {
        case 0:
            if (b == STX) {
                rxBuffer[0] = b;
                rxIndex = 1;
            } else {
                payloadLength = 0;
            }
            rxRemaining = 1;
            break;
        case 1:
            rxBuffer[1] = b;
            rxIndex = 2;
            break;
        case 2:
            rxBuffer[2] = b;
            rxIndex = 3;
            payloadLength = AnnouncedLength(rxBuffer[1], b);
            rxRemaining = static_cast<uint16_t>(payloadLength + 1);
            break;
        default:
            accepted |= TakeBodyByte(*this, b);
            break;
        }
    }
    return accepted;
}

uint32_t DeviceLink::NextReadSize() const
{
    return rxRemaining < LINK_MAX_READ ? rxRemaining : LINK_MAX_READ;
}
