// Reading DHCPv4 requests out of a capture file: classic pcap and pcapng,
// Ethernet frames only. Every length in the file is checked against the
// bytes that are really there before anything is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace macgate {

// One DHCP message that a server listening on UDP port 67 would receive.
struct CapturedRequest {
    uint64_t frame;                // 1-based number of the frame in the capture
    int64_t seconds;               // capture time, seconds since 1970-01-01 UTC
    uint32_t nanoseconds;          // and the fraction of that second
    std::vector<uint8_t> message;  // the UDP payload, at its full length
};

struct Capture {
    std::vector<CapturedRequest> requests;
    uint64_t frames = 0;   // every frame read
    uint64_t replies = 0;  // BOOTREPLY messages, skipped
    uint64_t others = 0;   // everything that is not a DHCPv4 message, skipped
};

// Parses a whole capture held in memory. False, with `error` set to a
// sentence naming the place of the problem, for a file that is not a
// capture, is truncated, holds a frame cut short, or uses another link type.
bool ParseCapture(const uint8_t* data, size_t size, Capture* capture, std::string* error);

// Reads and parses the capture file at `path`.
bool ReadCaptureFile(const std::string& path, Capture* capture, std::string* error);

// The DHCP message type named by option 53 ("DISCOVER", "REQUEST", ...),
// "BOOTP" for a message without the DHCP magic cookie, "?" when unreadable.
std::string DhcpMessageType(const std::vector<uint8_t>& message);

// "2026-12-09 05:31:02.123456" (UTC), computed without the C library's
// shared buffers.
std::string FormatCaptureTime(int64_t seconds, uint32_t nanoseconds);

}  // namespace macgate
