// The capture reader of the macgate tool: both file formats, both byte
// orders, and every way a capture can be broken.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tools/macgate/server/capture.h"

namespace macgate {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes* out, uint16_t value, bool bigEndian) {
    if (bigEndian) {
        out->push_back(static_cast<uint8_t>(value >> 8));
        out->push_back(static_cast<uint8_t>(value));
    } else {
        out->push_back(static_cast<uint8_t>(value));
        out->push_back(static_cast<uint8_t>(value >> 8));
    }
}

void Put32(Bytes* out, uint32_t value, bool bigEndian) {
    Put16(out, static_cast<uint16_t>(bigEndian ? value >> 16 : value), bigEndian);
    Put16(out, static_cast<uint16_t>(bigEndian ? value : value >> 16), bigEndian);
}

// A DHCP message of 300 bytes with option 53 set to `type`.
Bytes Dhcp(uint8_t op, uint8_t last, uint8_t type) {
    Bytes message(300, 0);
    message[0] = op;
    message[1] = 1;
    message[2] = 6;
    const uint8_t address[6] = {0x52, 0x54, 0x00, 0x6a, 0x01, last};
    std::memcpy(message.data() + 28, address, 6);
    const uint8_t options[] = {99, 130, 83, 99, 53, 1, type, 255};
    std::memcpy(message.data() + 236, options, sizeof options);
    return message;
}

struct FrameShape {
    uint16_t destinationPort = 67;
    uint8_t protocol = 17;
    uint16_t fragment = 0;
    bool vlan = false;
    int udpLengthDelta = 0;
};

// Ethernet, IPv4, UDP around `payload`.
Bytes Frame(const Bytes& payload, const FrameShape& shape = FrameShape()) {
    Bytes frame(12, 0xff);
    if (shape.vlan) {
        Put16(&frame, 0x8100, true);
        Put16(&frame, 42, true);
    }
    Put16(&frame, 0x0800, true);
    const size_t udpLength = 8 + payload.size();
    frame.push_back(0x45);
    frame.push_back(0);
    Put16(&frame, static_cast<uint16_t>(20 + udpLength), true);
    Put16(&frame, 1, true);
    Put16(&frame, shape.fragment, true);
    frame.push_back(64);
    frame.push_back(shape.protocol);
    Put16(&frame, 0, true);
    Put32(&frame, 0, true);
    Put32(&frame, 0xffffffff, true);
    Put16(&frame, shape.destinationPort == 67 ? 68 : 67, true);
    Put16(&frame, shape.destinationPort, true);
    Put16(&frame, static_cast<uint16_t>(static_cast<int>(udpLength) + shape.udpLengthDelta), true);
    Put16(&frame, 0, true);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

struct Record {
    Bytes frame;
    uint32_t seconds;
    uint32_t fraction;
    uint32_t wireLength = 0;  // 0: the frame's own length
};

Bytes Pcap(const std::vector<Record>& records, bool bigEndian = false, bool nanoseconds = false,
           uint32_t linkType = 1) {
    Bytes file;
    Put32(&file, nanoseconds ? 0xa1b23c4d : 0xa1b2c3d4, bigEndian);
    Put16(&file, 2, bigEndian);
    Put16(&file, 4, bigEndian);
    Put32(&file, 0, bigEndian);
    Put32(&file, 0, bigEndian);
    Put32(&file, 65535, bigEndian);
    Put32(&file, linkType, bigEndian);
    for (const Record& record : records) {
        Put32(&file, record.seconds, bigEndian);
        Put32(&file, record.fraction, bigEndian);
        Put32(&file, static_cast<uint32_t>(record.frame.size()), bigEndian);
        Put32(
            &file,
            record.wireLength != 0 ? record.wireLength : static_cast<uint32_t>(record.frame.size()),
            bigEndian);
        file.insert(file.end(), record.frame.begin(), record.frame.end());
    }
    return file;
}

void PutBlock(Bytes* out, uint32_t type, Bytes body, bool bigEndian) {
    while (body.size() % 4 != 0) {
        body.push_back(0);
    }
    Put32(out, type, bigEndian);
    Put32(out, static_cast<uint32_t>(body.size() + 12), bigEndian);
    out->insert(out->end(), body.begin(), body.end());
    Put32(out, static_cast<uint32_t>(body.size() + 12), bigEndian);
}

void PutSection(Bytes* out, bool bigEndian) {
    Bytes body;
    Put32(&body, 0x1a2b3c4d, bigEndian);
    Put16(&body, 1, bigEndian);
    Put16(&body, 0, bigEndian);
    Put32(&body, 0xffffffff, bigEndian);
    Put32(&body, 0xffffffff, bigEndian);
    PutBlock(out, 0x0a0d0d0a, body, bigEndian);
}

// An interface; `resolution` < 0 leaves out if_tsresol (microseconds).
void PutInterface(Bytes* out, uint16_t linkType, int resolution, bool bigEndian) {
    Bytes body;
    Put16(&body, linkType, bigEndian);
    Put16(&body, 0, bigEndian);
    Put32(&body, 0, bigEndian);
    if (resolution >= 0) {
        Put16(&body, 9, bigEndian);
        Put16(&body, 1, bigEndian);
        body.push_back(static_cast<uint8_t>(resolution));
        body.insert(body.end(), 3, 0);
        Put16(&body, 0, bigEndian);
        Put16(&body, 0, bigEndian);
    }
    PutBlock(out, 1, body, bigEndian);
}

void PutEnhancedPacket(Bytes* out, uint32_t interface, uint64_t stamp, const Bytes& frame,
                       bool bigEndian, uint32_t wireLength = 0) {
    Bytes body;
    Put32(&body, interface, bigEndian);
    Put32(&body, static_cast<uint32_t>(stamp >> 32), bigEndian);
    Put32(&body, static_cast<uint32_t>(stamp), bigEndian);
    Put32(&body, static_cast<uint32_t>(frame.size()), bigEndian);
    Put32(&body, wireLength != 0 ? wireLength : static_cast<uint32_t>(frame.size()), bigEndian);
    body.insert(body.end(), frame.begin(), frame.end());
    PutBlock(out, 6, body, bigEndian);
}

bool Parse(const Bytes& file, Capture* capture, std::string* error) {
    // An exact-size copy on the heap, so that the sanitizers see any read
    // past the end.
    Bytes copy(file);
    copy.shrink_to_fit();
    return ParseCapture(copy.data(), copy.size(), capture, error);
}

// Three requests, a reply and an ARP frame.
std::vector<Record> Exchange() {
    Bytes arp(12, 0xff);
    arp.push_back(0x08);
    arp.push_back(0x06);
    arp.resize(60, 0);
    return {
        {Frame(Dhcp(1, 1, 1)), 1765258800, 123456},
        {Frame(Dhcp(2, 1, 2), FrameShape{68}), 1765258801, 0},
        {arp, 1765258801, 5},
        {Frame(Dhcp(1, 1, 3)), 1765258802, 999999},
        {Frame(Dhcp(1, 2, 7)), 1765258803, 0},
    };
}

void ExpectExchange(const Capture& capture) {
    EXPECT_EQ(capture.frames, 5u);
    EXPECT_EQ(capture.replies, 1u);
    EXPECT_EQ(capture.others, 1u);
    ASSERT_EQ(capture.requests.size(), 3u);
    EXPECT_EQ(capture.requests[0].frame, 1u);
    EXPECT_EQ(capture.requests[1].frame, 4u);
    EXPECT_EQ(capture.requests[2].frame, 5u);
    EXPECT_EQ(capture.requests[0].message, Dhcp(1, 1, 1));
    EXPECT_EQ(DhcpMessageType(capture.requests[1].message), "REQUEST");
    EXPECT_EQ(DhcpMessageType(capture.requests[2].message), "RELEASE");
}

TEST(Capture, ClassicPcapInEveryByteOrderAndResolution) {
    for (bool bigEndian : {false, true}) {
        for (bool nanoseconds : {false, true}) {
            Capture capture;
            std::string error;
            ASSERT_TRUE(Parse(Pcap(Exchange(), bigEndian, nanoseconds), &capture, &error)) << error;
            ExpectExchange(capture);
            EXPECT_EQ(capture.requests[0].seconds, 1765258800);
            EXPECT_EQ(capture.requests[0].nanoseconds, nanoseconds ? 123456u : 123456000u);
            EXPECT_EQ(
                FormatCaptureTime(capture.requests[1].seconds, capture.requests[1].nanoseconds),
                nanoseconds ? "2025-12-09 05:40:02.000999" : "2025-12-09 05:40:02.999999");
        }
    }
}

// A fraction field past a whole second is held at the second's last
// nanosecond, however large, in either resolution.
TEST(Capture, ClassicPcapFractionPastASecondIsHeld) {
    struct Case {
        bool nanoseconds;
        uint32_t fraction;
        uint32_t expected;
    };
    const Case kCases[] = {
        {false, 999999, 999999000u},     {false, 1000000, 999999999u},
        {false, 4294968, 999999999u},  // times 1000 passes 2^32
        {false, 0xffffffff, 999999999u}, {true, 999999999, 999999999u},
        {true, 0xffffffff, 999999999u},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.fraction << (c.nanoseconds ? " ns" : " us"));
        Capture capture;
        std::string error;
        ASSERT_TRUE(
            Parse(Pcap({{Frame(Dhcp(1, 1, 1)), 1765258800, c.fraction}}, false, c.nanoseconds),
                  &capture, &error))
            << error;
        ASSERT_EQ(capture.requests.size(), 1u);
        EXPECT_EQ(capture.requests[0].nanoseconds, c.expected);
    }
}

TEST(Capture, PcapngInEveryByteOrderWithItsTimestampResolution) {
    for (bool bigEndian : {false, true}) {
        Bytes file;
        PutSection(&file, bigEndian);
        PutInterface(&file, 1, -1, bigEndian);         // microseconds
        PutInterface(&file, 1, 9, bigEndian);          // nanoseconds
        PutInterface(&file, 1, 0x80 | 10, bigEndian);  // 1/1024 s
        uint64_t seconds = 1765258800;
        PutEnhancedPacket(&file, 0, seconds * 1000000 + 250000, Frame(Dhcp(1, 1, 1)), bigEndian);
        PutEnhancedPacket(&file, 1, (seconds + 1) * 1000000000 + 5, Frame(Dhcp(1, 2, 3)),
                          bigEndian);
        PutEnhancedPacket(&file, 2, (seconds + 2) * 1024 + 512, Frame(Dhcp(1, 3, 1)), bigEndian);
        // A simple packet block, on interface 0, and a block of unknown type.
        Bytes simple;
        Bytes frame = Frame(Dhcp(1, 4, 1));
        Put32(&simple, static_cast<uint32_t>(frame.size()), bigEndian);
        simple.insert(simple.end(), frame.begin(), frame.end());
        PutBlock(&file, 3, simple, bigEndian);
        PutBlock(&file, 0x0bad, Bytes(7, 1), bigEndian);
        Capture capture;
        std::string error;
        ASSERT_TRUE(Parse(file, &capture, &error)) << error;
        ASSERT_EQ(capture.requests.size(), 4u);
        EXPECT_EQ(capture.frames, 4u);
        EXPECT_EQ(capture.requests[0].nanoseconds, 250000000u);
        EXPECT_EQ(capture.requests[1].seconds, 1765258801);
        EXPECT_EQ(capture.requests[1].nanoseconds, 5u);
        EXPECT_EQ(capture.requests[2].seconds, 1765258802);
        EXPECT_EQ(capture.requests[2].nanoseconds, 500000000u);
        EXPECT_EQ(capture.requests[3].message, Dhcp(1, 4, 1));
    }
}

TEST(Capture, OnlyWholeRequestsToTheServerPortAreReplayed) {
    FrameShape toClientPort{68};
    FrameShape tcp{67, 6};
    FrameShape fragment{67, 17, 0x2000};
    FrameShape tagged{67, 17, 0, true};
    FrameShape udpLengthTooLong{67, 17, 0, false, 1};
    FrameShape udpLengthShort{67, 17, 0, false, -100};
    std::vector<Record> records = {
        {Frame(Dhcp(1, 1, 1), toClientPort), 1, 0},
        {Frame(Dhcp(1, 2, 1), tcp), 2, 0},
        {Frame(Dhcp(1, 3, 1), fragment), 3, 0},
        {Frame(Dhcp(1, 4, 1), tagged), 4, 0},
        {Frame(Dhcp(1, 5, 1), udpLengthTooLong), 5, 0},
        {Frame(Dhcp(1, 6, 1), udpLengthShort), 6, 0},
        {Frame(Bytes{1, 2, 3}), 7, 0},
        {Frame(Bytes{}), 8, 0},
        {Frame(Dhcp(2, 9, 5)), 9, 0},
    };
    // Missing bytes after the datagram (Ethernet padding) leave it whole.
    records.push_back({Frame(Dhcp(1, 10, 1)), 10, 0, 400});
    // A whole frame whose IPv4 header claims more than the frame holds.
    Bytes badHeader = Frame(Dhcp(1, 11, 1));
    badHeader[14] = 0x4f;
    badHeader.resize(40);
    records.push_back({badHeader, 11, 0});
    Capture capture;
    std::string error;
    ASSERT_TRUE(Parse(Pcap(records), &capture, &error)) << error;
    ASSERT_EQ(capture.requests.size(), 4u);
    EXPECT_EQ(capture.requests[3].message, Dhcp(1, 10, 1));
    EXPECT_EQ(capture.requests[0].message, Dhcp(1, 4, 1));  // behind its VLAN tag
    // The UDP length decides the message's length, not the frame's.
    EXPECT_EQ(capture.requests[1].message.size(), 200u);
    EXPECT_EQ(capture.requests[2].message, (Bytes{1, 2, 3}));
    EXPECT_EQ(DhcpMessageType(capture.requests[2].message), "?");
    EXPECT_EQ(capture.replies, 1u);
    EXPECT_EQ(capture.others, 6u);
}

TEST(Capture, BrokenFilesGiveAClearError) {
    struct Case {
        const char* name;
        Bytes file;
        const char* error;
    };
    Bytes pcap = Pcap(Exchange());
    Bytes snapped = Frame(Dhcp(1, 1, 1));
    snapped.resize(300);
    Bytes cutRecord = Pcap({{snapped, 1, 0, 342}});
    Bytes shortFrame = Frame(Dhcp(1, 1, 1));
    shortFrame.resize(40);
    Bytes cutHeaders = Pcap({{shortFrame, 1, 0, 342}});
    Bytes ng;
    PutSection(&ng, false);
    PutInterface(&ng, 113, -1, false);
    PutEnhancedPacket(&ng, 0, 0, Frame(Dhcp(1, 1, 1)), false);
    Bytes ngNoInterface;
    PutSection(&ngNoInterface, false);
    PutEnhancedPacket(&ngNoInterface, 0, 0, Frame(Dhcp(1, 1, 1)), false);
    Bytes ngCut;
    PutSection(&ngCut, false);
    PutInterface(&ngCut, 1, -1, false);
    PutEnhancedPacket(&ngCut, 0, 0, shortFrame, false, 342);
    Bytes ngBadLength = ng;
    ngBadLength[4] = 13;
    Bytes ngLengthsDiffer;
    PutSection(&ngLengthsDiffer, false);
    ngLengthsDiffer[ngLengthsDiffer.size() - 4] = 0;
    Bytes section;
    PutSection(&section, false);
    Bytes ngOrderMark = section;
    ngOrderMark[8] = 0x11;
    Bytes ngShortSection;
    PutBlock(&ngShortSection, 0x0a0d0d0a, {0x4d, 0x3c, 0x2b, 0x1a}, false);
    Bytes ngShortInterface = section;
    PutBlock(&ngShortInterface, 1, Bytes(4, 0), false);
    Bytes ngOptionPastEnd = section;
    PutBlock(&ngOptionPastEnd, 1, {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 100, 0}, false);
    Bytes ngResolution = section;
    PutInterface(&ngResolution, 1, 20, false);
    Bytes ngBinaryResolution = section;
    PutInterface(&ngBinaryResolution, 1, 0x80 | 64, false);
    Bytes ngShortPacket = section;
    PutInterface(&ngShortPacket, 1, -1, false);
    Bytes ngClaims = ngShortPacket;
    PutBlock(&ngShortPacket, 6, Bytes(8, 0), false);
    PutEnhancedPacket(&ngClaims, 0, 0, Frame(Dhcp(1, 1, 1)), false);
    ngClaims[48 + 8 + 12 + 1] = 3;  // the captured length: 0x356, not 0x156
    Bytes ngWireShort = section;
    PutInterface(&ngWireShort, 1, -1, false);
    PutEnhancedPacket(&ngWireShort, 0, 0, Frame(Dhcp(1, 1, 1)), false, 300);
    Bytes tagged = Frame(Dhcp(1, 1, 1), FrameShape{67, 17, 0, true});
    std::vector<Case> cases = {
        {"empty", {}, "not a capture file"},
        {"text", {'M', 'A', 'C', '_', 'A', 'C', 'T', 'I', 'O', 'N', '\n', 0}, "not a capture"},
        {"header only half there", Bytes(pcap.begin(), pcap.begin() + 20),
         "truncated: the pcap file header needs 24 bytes, the file has 20"},
        {"record header cut", Bytes(pcap.begin(), pcap.begin() + 30), "truncated"},
        {"record data cut", Bytes(pcap.begin(), pcap.end() - 1), "truncated: frame 5 needs"},
        {"snapped short", cutRecord, "frame 1 is cut short"},
        {"snapped inside the headers", cutHeaders,
         "frame 1 is cut short: it ends inside its UDP header (40 of 342 bytes captured)"},
        {"snapped inside the Ethernet header", Pcap({{Bytes(10, 0xff), 1, 0, 60}}),
         "frame 1 is cut short: it is shorter than an Ethernet header (10 of 60 bytes captured)"},
        {"snapped inside a VLAN tag",
         Pcap({{Bytes(tagged.begin(), tagged.begin() + 15), 1, 0, 346}}),
         "frame 1 is cut short: it ends inside a VLAN tag"},
        {"snapped inside the IPv4 header",
         Pcap({{Bytes(tagged.begin(), tagged.begin() + 30), 1, 0, 346}}),
         "frame 1 is cut short: it ends inside its IPv4 header"},
        {"more captured than sent", Pcap({{Frame(Dhcp(1, 1, 1)), 1, 0, 300}}),
         "frame 1 is corrupt: 342 bytes captured of a frame of 300"},
        {"link type 113", Pcap(Exchange(), false, false, 113), "link type 113 is not supported"},
        {"pcapng link type 113", ng, "frame 1 has link type 113"},
        {"pcapng without interface", ngNoInterface, "names interface 0"},
        {"pcapng cut short", ngCut, "frame 1 is cut short"},
        {"pcapng block length", ngBadLength, "is corrupt"},
        {"pcapng lengths differ", ngLengthsDiffer, "two length fields differ"},
        {"pcapng truncated", Bytes(ng.begin(), ng.end() - 8),
         "truncated: the block at byte 48 needs 376 bytes, 368 are left"},
        {"pcapng block header cut", Bytes(ng.begin(), ng.begin() + 36),
         "truncated: the block at byte 28 needs at least 12 bytes, 8 are left"},
        {"pcapng byte-order mark", ngOrderMark, "a section header with an unknown byte-order mark"},
        {"pcapng short section header", ngShortSection, "corrupt: a section header of 16 bytes"},
        {"pcapng short interface", ngShortInterface,
         "corrupt: an interface description of 16 bytes"},
        {"pcapng option past the end", ngOptionPastEnd,
         "the block at byte 28: an interface option runs past the end of its block"},
        {"pcapng resolution 10^-20", ngResolution, "timestamp resolution that cannot be used"},
        {"pcapng resolution 2^-64", ngBinaryResolution, "timestamp resolution that cannot be used"},
        {"pcapng short packet block", ngShortPacket, "corrupt: a packet block of 20 bytes"},
        {"pcapng frame past its block", ngClaims, "frame 1 claims 854 bytes, its block holds 344"},
        {"pcapng more captured than sent", ngWireShort,
         "frame 1 is corrupt: 342 bytes captured of a frame of 300"},
    };
    for (const Case& test : cases) {
        Capture capture;
        std::string error;
        EXPECT_FALSE(Parse(test.file, &capture, &error)) << test.name;
        EXPECT_NE(error.find(test.error), std::string::npos) << test.name << ": " << error;
    }
}

TEST(Capture, EveryTruncationAndCorruptionEndsCleanly) {
    Bytes ng;
    PutSection(&ng, true);
    PutInterface(&ng, 1, 9, true);
    for (const Record& record : Exchange()) {
        PutEnhancedPacket(&ng, 0, record.seconds, record.frame, true);
    }
    std::mt19937 random(12345);
    for (const Bytes& file : {Pcap(Exchange()), ng}) {
        for (size_t size = 0; size < file.size(); ++size) {
            Capture capture;
            std::string error;
            if (!Parse(Bytes(file.begin(), file.begin() + static_cast<long>(size)), &capture,
                       &error)) {
                EXPECT_FALSE(error.empty());
            }
        }
        for (int round = 0; round < 3000; ++round) {
            Bytes damaged = file;
            for (int flips = 1 + round % 4; flips > 0; --flips) {
                damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
            }
            Capture capture;
            std::string error;
            if (Parse(damaged, &capture, &error)) {
                for (const CapturedRequest& request : capture.requests) {
                    EXPECT_FALSE(request.message.empty());
                    DhcpMessageType(request.message);
                }
            } else {
                EXPECT_FALSE(error.empty());
            }
        }
    }
}

TEST(Capture, TimesAreCivilDatesInUtc) {
    EXPECT_EQ(FormatCaptureTime(0, 0), "1970-01-01 00:00:00.000000");
    EXPECT_EQ(FormatCaptureTime(951825600, 1000), "2000-02-29 12:00:00.000001");
    EXPECT_EQ(FormatCaptureTime(4107542399, 999999999), "2100-02-28 23:59:59.999999");
    EXPECT_EQ(FormatCaptureTime(-1, 0), "1969-12-31 23:59:59.000000");
}

TEST(Capture, MessageTypesAreReadWithinTheMessage) {
    Bytes message = Dhcp(1, 1, 8);
    EXPECT_EQ(DhcpMessageType(message), "INFORM");
    message[242] = 200;
    EXPECT_EQ(DhcpMessageType(message), "type 200");
    message[236] = 0;  // no magic cookie: plain BOOTP
    EXPECT_EQ(DhcpMessageType(message), "BOOTP");
    Bytes padded = Dhcp(1, 1, 1);
    padded[240] = 0;  // a pad byte before option 53 moves it on by one
    padded[241] = 53;
    padded[242] = 1;
    padded[243] = 3;
    padded.resize(244);
    EXPECT_EQ(DhcpMessageType(padded), "REQUEST");
    Bytes cut = Dhcp(1, 1, 1);
    cut[241] = 200;  // option 53 claims more than is left
    cut.resize(245);
    EXPECT_EQ(DhcpMessageType(cut), "?");
}

}  // namespace
}  // namespace macgate
