// Feeds arbitrary bytes to the capture reader of macgate replay as a capture
// file, then everything replay does with what it read. Besides crashes,
// leaks and hangs it checks that the counts add up, that every request is a
// BOOTREQUEST read in frame order, and that a failure says why. The bytes,
// and each request read, are also a DHCP message whose relay agent options
// are read for the scope address.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter/packet_filter.h"
#include "tools/macgate/server/capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    // An exact-size copy, so that the sanitizer sees a read one byte too far.
    std::vector<uint8_t> file(data, data + size);
    // A link selection address is read only from a relayed message.
    if (size >= kShortestMessage && RelayAgentAddress(file.data()) == 0 &&
        ScopeAddress(file.data(), file.size(), 7) != 7) {
        std::abort();
    }
    if (size >= kShortestMessage) {
        LinkSelectionAddress(file.data(), file.size());
    }
    Capture capture;
    std::string error;
    if (!ParseCapture(file.data(), file.size(), &capture, &error)) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    if (!error.empty() ||
        capture.requests.size() + capture.replies + capture.others != capture.frames) {
        std::abort();
    }
    uint64_t previous = 0;
    for (const CapturedRequest& request : capture.requests) {
        if (request.frame <= previous || request.frame > capture.frames ||
            request.message.empty() || request.message[0] != 1 ||
            request.nanoseconds > 999999999u) {
            std::abort();
        }
        previous = request.frame;
        if (DhcpMessageType(request.message).empty() ||
            FormatCaptureTime(request.seconds, request.nanoseconds).size() < 26) {
            std::abort();
        }
        if (request.message.size() >= kShortestMessage) {
            char key[kAddressKeySize];
            ClientAddressKey(request.message.data(), key);
            ScopeAddress(request.message.data(), request.message.size(), 0);
        }
    }
    return 0;
}
