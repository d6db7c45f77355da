// The lines the control hook writes to the info log, as tests expect them.
#pragma once

namespace macgate {

constexpr char kStarted[] = "The DHCP server has successfully started.\n";
constexpr char kStopped[] = "The DHCP server has successfully stopped.\n";
constexpr char kPaused[] = "The DHCP server has been paused.\n";
constexpr char kContinued[] = "The DHCP server has been continued.\n";

}  // namespace macgate
