#include "tools/macgate/server/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace macgate {
namespace {

constexpr uint16_t kLinkTypeEthernet = 1;
constexpr uint16_t kDhcpServerPort = 67;
constexpr uint16_t kDhcpClientPort = 68;

uint16_t Read16(const uint8_t* p, bool bigEndian) {
    return bigEndian ? static_cast<uint16_t>(p[0] << 8 | p[1])
                     : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t Read32(const uint8_t* p, bool bigEndian) {
    return bigEndian ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                     : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

std::string FrameName(uint64_t frame) {
    return "frame " + std::to_string(frame);
}

enum class FrameKind { kRequest, kReply, kOther, kCutShort };

// Finds the UDP payload of an Ethernet frame holding an IPv4 datagram to the
// DHCP ports. `captured` bytes are present of a frame `wireLength` long.
FrameKind ClassifyFrame(const uint8_t* frame, size_t captured, size_t wireLength,
                        const uint8_t** payload, size_t* payloadLength, std::string* why) {
    const bool cut = captured < wireLength;
    if (captured < 14) {
        *why = "is shorter than an Ethernet header";
        return cut ? FrameKind::kCutShort : FrameKind::kOther;
    }
    size_t offset = 12;
    uint16_t type = Read16(frame + offset, true);
    // 802.1Q and 802.1ad tags: a server on a trunk sees the same messages.
    while (type == 0x8100 || type == 0x88a8 || type == 0x9100) {
        if (captured < offset + 6) {
            *why = "ends inside a VLAN tag";
            return cut ? FrameKind::kCutShort : FrameKind::kOther;
        }
        offset += 4;
        type = Read16(frame + offset, true);
    }
    offset += 2;
    if (type != 0x0800) {
        return FrameKind::kOther;
    }
    const uint8_t* ip = frame + offset;
    size_t available = captured - offset;
    if (available < 20) {
        *why = "ends inside its IPv4 header";
        return cut ? FrameKind::kCutShort : FrameKind::kOther;
    }
    size_t headerLength = size_t{ip[0] & 0x0fu} * 4;
    size_t totalLength = Read16(ip + 2, true);
    if ((ip[0] >> 4) != 4 || headerLength < 20 || totalLength < headerLength) {
        return FrameKind::kOther;
    }
    if (ip[9] != 17) {
        return FrameKind::kOther;
    }
    // A fragment holds no whole DHCP message; the server's stack would
    // reassemble, but DHCP clients do not fragment.
    if ((Read16(ip + 6, true) & 0x3fff) != 0) {
        return FrameKind::kOther;
    }
    if (available < headerLength + 8) {
        *why = "ends inside its UDP header";
        return cut ? FrameKind::kCutShort : FrameKind::kOther;
    }
    const uint8_t* udp = ip + headerLength;
    uint16_t port = Read16(udp + 2, true);
    if (port != kDhcpServerPort && port != kDhcpClientPort) {
        return FrameKind::kOther;
    }
    size_t udpLength = Read16(udp + 4, true);
    if (udpLength < 8 || headerLength + udpLength > totalLength) {
        return FrameKind::kOther;
    }
    if (available < headerLength + udpLength) {
        *why = "holds " + std::to_string(available - headerLength - 8) + " of the " +
               std::to_string(udpLength - 8) + " bytes of its DHCP message";
        return cut ? FrameKind::kCutShort : FrameKind::kOther;
    }
    *payload = udp + 8;
    *payloadLength = udpLength - 8;
    if (*payloadLength == 0) {
        return FrameKind::kOther;
    }
    if (port == kDhcpServerPort && (*payload)[0] == 1) {
        return FrameKind::kRequest;
    }
    return (*payload)[0] == 2 ? FrameKind::kReply : FrameKind::kOther;
}

bool AddFrame(Capture* capture, const uint8_t* frame, size_t captured, size_t wireLength,
              int64_t seconds, uint32_t nanoseconds, std::string* error) {
    uint64_t number = ++capture->frames;
    const uint8_t* payload = nullptr;
    size_t payloadLength = 0;
    std::string why;
    switch (ClassifyFrame(frame, captured, wireLength, &payload, &payloadLength, &why)) {
        case FrameKind::kRequest:
            capture->requests.push_back({number, seconds, nanoseconds,
                                         std::vector<uint8_t>(payload, payload + payloadLength)});
            return true;
        case FrameKind::kReply:
            ++capture->replies;
            return true;
        case FrameKind::kOther:
            ++capture->others;
            return true;
        case FrameKind::kCutShort:
            *error = FrameName(number) + " is cut short: it " + why + " (" +
                     std::to_string(captured) + " of " + std::to_string(wireLength) +
                     " bytes captured)";
            return false;
    }
    return true;
}

// Classic pcap: a 24-byte file header, then 16-byte record headers.
bool ParsePcap(const uint8_t* data, size_t size, Capture* capture, std::string* error) {
    if (size < 24) {
        *error =
            "truncated: the pcap file header needs 24 bytes, the file has " + std::to_string(size);
        return false;
    }
    uint32_t magic = Read32(data, false);
    bool bigEndian = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
    bool nanosecondStamps = magic == 0xa1b23c4d || magic == 0x4d3cb2a1;
    uint32_t linkType = Read32(data + 20, bigEndian) & 0x0fffffff;
    if (linkType != kLinkTypeEthernet) {
        *error = "link type " + std::to_string(linkType) +
                 " is not supported: only Ethernet captures (link type 1) can be replayed";
        return false;
    }
    size_t offset = 24;
    while (offset < size) {
        uint64_t record = capture->frames + 1;
        if (size - offset < 16) {
            *error = "truncated: the header of " + FrameName(record) + " at byte " +
                     std::to_string(offset) + " needs 16 bytes, " + std::to_string(size - offset) +
                     " are left";
            return false;
        }
        const uint8_t* header = data + offset;
        uint32_t seconds = Read32(header, bigEndian);
        uint32_t fraction = Read32(header + 4, bigEndian);
        uint32_t captured = Read32(header + 8, bigEndian);
        uint32_t wireLength = Read32(header + 12, bigEndian);
        offset += 16;
        if (captured > size - offset) {
            *error = "truncated: " + FrameName(record) + " needs " + std::to_string(captured) +
                     " bytes, " + std::to_string(size - offset) + " are left";
            return false;
        }
        if (captured > wireLength) {
            *error = FrameName(record) + " is corrupt: " + std::to_string(captured) +
                     " bytes captured of a frame of " + std::to_string(wireLength);
            return false;
        }
        // A fraction past a whole second is held at its last nanosecond;
        // in 64 bits, so that a large microsecond field cannot wrap first.
        uint64_t nanoseconds = nanosecondStamps ? fraction : uint64_t{fraction} * 1000u;
        if (nanoseconds >= 1000000000u) {
            nanoseconds = 999999999u;
        }
        if (!AddFrame(capture, data + offset, captured, wireLength, seconds,
                      static_cast<uint32_t>(nanoseconds), error)) {
            return false;
        }
        offset += captured;
    }
    return true;
}

struct Interface {
    uint16_t linkType;
    bool binaryResolution;  // units of 2^-exponent seconds, else 10^-exponent
    uint8_t exponent;
    int64_t offsetSeconds;
};

// The interface options that matter for timestamps: if_tsresol, if_tsoffset.
bool ParseInterfaceOptions(const uint8_t* p, size_t length, bool bigEndian, Interface* interface,
                           std::string* error) {
    size_t offset = 0;
    while (length - offset >= 4) {
        uint16_t code = Read16(p + offset, bigEndian);
        uint16_t valueLength = Read16(p + offset + 2, bigEndian);
        offset += 4;
        if (code == 0) {
            break;
        }
        size_t padded = (size_t{valueLength} + 3) & ~size_t{3};
        if (padded > length - offset) {
            *error = "an interface option runs past the end of its block";
            return false;
        }
        if (code == 9 && valueLength == 1) {
            interface->binaryResolution = (p[offset] & 0x80) != 0;
            interface->exponent = p[offset] & 0x7f;
        } else if (code == 14 && valueLength == 8) {
            uint64_t high = Read32(p + offset + (bigEndian ? 0 : 4), bigEndian);
            uint64_t low = Read32(p + offset + (bigEndian ? 4 : 0), bigEndian);
            interface->offsetSeconds = static_cast<int64_t>(high << 32 | low);
        }
        offset += padded;
    }
    bool usable =
        interface->binaryResolution ? interface->exponent <= 63 : interface->exponent <= 19;
    if (!usable) {
        *error = "an interface has a timestamp resolution that cannot be used";
        return false;
    }
    return true;
}

void SplitTimestamp(uint64_t stamp, const Interface& interface, int64_t* seconds,
                    uint32_t* nanoseconds) {
    uint64_t unitsPerSecond = 1;
    if (interface.binaryResolution) {
        unitsPerSecond = uint64_t{1} << interface.exponent;
    } else {
        for (int i = 0; i < interface.exponent; ++i) {
            unitsPerSecond *= 10;
        }
    }
    uint64_t whole = stamp / unitsPerSecond;
    uint64_t rest = stamp % unitsPerSecond;
    // Wraps instead of overflowing for a time offset past any date.
    *seconds = static_cast<int64_t>(whole + static_cast<uint64_t>(interface.offsetSeconds));
    double fraction = static_cast<double>(rest) / static_cast<double>(unitsPerSecond);
    uint64_t nanos = static_cast<uint64_t>(fraction * 1e9);
    *nanoseconds = static_cast<uint32_t>(nanos > 999999999u ? 999999999u : nanos);
}

bool ParsePcapng(const uint8_t* data, size_t size, Capture* capture, std::string* error) {
    constexpr uint32_t kSectionHeader = 0x0a0d0d0a;
    std::vector<Interface> interfaces;
    bool bigEndian = false;
    size_t offset = 0;
    while (offset < size) {
        std::string where = "the block at byte " + std::to_string(offset);
        size_t left = size - offset;
        const uint8_t* block = data + offset;
        if (left < 12) {
            *error = "truncated: " + where + " needs at least 12 bytes, " + std::to_string(left) +
                     " are left";
            return false;
        }
        uint32_t type = Read32(block, false);
        if (type == kSectionHeader) {
            uint32_t byteOrder = Read32(block + 8, false);
            if (byteOrder != 0x1a2b3c4d && byteOrder != 0x4d3c2b1a) {
                *error = where + " is a section header with an unknown byte-order mark";
                return false;
            }
            bigEndian = byteOrder == 0x4d3c2b1a;
            interfaces.clear();
        } else if (offset == 0) {
            *error = "not a capture file: it begins neither as pcap nor as pcapng";
            return false;
        }
        type = Read32(block, bigEndian);
        uint32_t length = Read32(block + 4, bigEndian);
        if (length < 12 || length % 4 != 0) {
            *error = where + " is corrupt: its length " + std::to_string(length) +
                     " is not a multiple of 4 of at least 12";
            return false;
        }
        if (length > left) {
            *error = "truncated: " + where + " needs " + std::to_string(length) + " bytes, " +
                     std::to_string(left) + " are left";
            return false;
        }
        if (Read32(block + length - 4, bigEndian) != length) {
            *error = where + " is corrupt: its two length fields differ";
            return false;
        }
        const uint8_t* body = block + 8;
        size_t bodyLength = length - 12;
        switch (type) {
            case kSectionHeader:
                if (bodyLength < 16) {
                    *error = where + " is corrupt: a section header of " + std::to_string(length) +
                             " bytes";
                    return false;
                }
                break;
            case 1: {  // interface description
                if (bodyLength < 8) {
                    *error = where + " is corrupt: an interface description of " +
                             std::to_string(length) + " bytes";
                    return false;
                }
                Interface interface = {Read16(body, bigEndian), false, 6, 0};
                if (!ParseInterfaceOptions(body + 8, bodyLength - 8, bigEndian, &interface,
                                           error)) {
                    *error = where + ": " + *error;
                    return false;
                }
                interfaces.push_back(interface);
                break;
            }
            case 2:    // packet block (obsolete)
            case 3:    // simple packet block
            case 6: {  // enhanced packet block
                size_t fixed = type == 3 ? 4 : 20;
                if (bodyLength < fixed) {
                    *error = where + " is corrupt: a packet block of " + std::to_string(length) +
                             " bytes";
                    return false;
                }
                uint32_t interfaceId = 0;
                uint64_t stamp = 0;
                uint32_t captured = 0;
                uint32_t wireLength = 0;
                if (type == 3) {
                    wireLength = Read32(body, bigEndian);
                    captured = wireLength < bodyLength - 4 ? wireLength
                                                           : static_cast<uint32_t>(bodyLength - 4);
                } else {
                    interfaceId = type == 2 ? Read16(body, bigEndian) : Read32(body, bigEndian);
                    stamp =
                        uint64_t{Read32(body + 4, bigEndian)} << 32 | Read32(body + 8, bigEndian);
                    captured = Read32(body + 12, bigEndian);
                    wireLength = Read32(body + 16, bigEndian);
                }
                uint64_t frame = capture->frames + 1;
                if (interfaceId >= interfaces.size()) {
                    *error = FrameName(frame) + " names interface " + std::to_string(interfaceId) +
                             ", which the capture does not describe";
                    return false;
                }
                const Interface& interface = interfaces[interfaceId];
                if (interface.linkType != kLinkTypeEthernet) {
                    *error = FrameName(frame) + " has link type " +
                             std::to_string(interface.linkType) +
                             ", which is not supported: only Ethernet frames (link type 1) can "
                             "be replayed";
                    return false;
                }
                if (captured > bodyLength - fixed) {
                    *error = where + " is corrupt: " + FrameName(frame) + " claims " +
                             std::to_string(captured) + " bytes, its block holds " +
                             std::to_string(bodyLength - fixed);
                    return false;
                }
                if (captured > wireLength) {
                    *error = FrameName(frame) + " is corrupt: " + std::to_string(captured) +
                             " bytes captured of a frame of " + std::to_string(wireLength);
                    return false;
                }
                int64_t seconds = 0;
                uint32_t nanoseconds = 0;
                SplitTimestamp(stamp, interface, &seconds, &nanoseconds);
                if (!AddFrame(capture, body + fixed, captured, wireLength, seconds, nanoseconds,
                              error)) {
                    return false;
                }
                break;
            }
            default:  // statistics, name resolution, comments: nothing to replay
                break;
        }
        offset += length;
    }
    return true;
}

}  // namespace

bool ParseCapture(const uint8_t* data, size_t size, Capture* capture, std::string* error) {
    *capture = Capture();
    if (size < 4) {
        *error = "not a capture file: it holds only " + std::to_string(size) + " bytes";
        return false;
    }
    uint32_t magic = Read32(data, false);
    if (magic == 0xa1b2c3d4 || magic == 0xd4c3b2a1 || magic == 0xa1b23c4d || magic == 0x4d3cb2a1) {
        return ParsePcap(data, size, capture, error);
    }
    return ParsePcapng(data, size, capture, error);
}

bool ReadCaptureFile(const std::string& path, Capture* capture, std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        *error = std::string("cannot open the capture file: ") + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        data.insert(data.end(), chunk, chunk + got);
    }
    if (std::ferror(file.get())) {
        *error = std::string("cannot read the capture file: ") + std::strerror(errno);
        return false;
    }
    return ParseCapture(data.data(), data.size(), capture, error);
}

std::string DhcpMessageType(const std::vector<uint8_t>& message) {
    constexpr size_t kOptionsStart = 240;  // fixed fields and the magic cookie
    static const char* const kNames[] = {"?",   "DISCOVER", "OFFER",   "REQUEST", "DECLINE",
                                         "ACK", "NAK",      "RELEASE", "INFORM"};
    if (message.size() < kOptionsStart || message[236] != 99 || message[237] != 130 ||
        message[238] != 83 || message[239] != 99) {
        return message.size() < kOptionsStart ? "?" : "BOOTP";
    }
    size_t offset = kOptionsStart;
    while (offset < message.size()) {
        uint8_t code = message[offset];
        if (code == 255) {
            break;
        }
        if (code == 0) {
            ++offset;
            continue;
        }
        if (message.size() - offset < 2) {
            break;
        }
        size_t length = message[offset + 1];
        if (message.size() - offset - 2 < length) {
            break;
        }
        if (code == 53 && length == 1) {
            uint8_t type = message[offset + 2];
            return type < sizeof kNames / sizeof kNames[0] ? kNames[type]
                                                           : "type " + std::to_string(type);
        }
        offset += 2 + length;
    }
    return "?";
}

std::string FormatCaptureTime(int64_t seconds, uint32_t nanoseconds) {
    // Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
    int64_t days = seconds / 86400;
    int64_t secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        days -= 1;
    }
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%06u",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(secondOfDay / 3600),
                  static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60), nanoseconds / 1000);
    return text;
}

}  // namespace macgate
