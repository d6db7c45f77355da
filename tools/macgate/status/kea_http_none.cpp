// status --kea in a build without libcurl: UNIX control sockets only.
#include "tools/macgate/status/kea_channel.h"

namespace macgate {

bool AskKeaHttp(const std::string&, const std::string&, const KeaAccess&, int, std::string*,
                std::string* why) {
    *why = "this macgate is built without HTTP support (libcurl); ask through the control socket";
    return false;
}

}  // namespace macgate
