// How status --kea reaches a Kea server: its UNIX control socket, or an
// HTTP or HTTPS control channel (Kea 3.0's own, or the Control Agent of
// Kea 2.x).
#pragma once

#include <string>

namespace macgate {

struct KeaAccess {
    // A file whose first line is USER:PASSWORD, for HTTP basic
    // authentication; "" for none.
    std::string authFile;
    // The certificate authorities that an https:// server's certificate must
    // come from, in a PEM file; "" for the system's own.
    std::string caFile;
    // The server behind a Control Agent ("dhcp4", "dhcp6"); "" to ask the
    // server at the other end itself.
    std::string service;
};

// True for an http:// or https:// address.
bool IsKeaUrl(const std::string& server);

// Posts `request` to the URL `url` and gives the body of the answer; false,
// with the reason in `why`, when it cannot be sent, the server refuses it
// (an HTTP status other than 200) or takes more than `seconds`.
bool AskKeaHttp(const std::string& url, const std::string& request, const KeaAccess& access,
                int seconds, std::string* answer, std::string* why);

}  // namespace macgate
