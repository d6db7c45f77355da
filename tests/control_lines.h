// The lines the control hook writes to the info log, and the time stamp that
// begins each decision line, as tests expect them.
#pragma once

namespace macgate {

constexpr char kStarted[] = "The DHCP server has successfully started.\n";
constexpr char kStopped[] = "The DHCP server has successfully stopped.\n";
constexpr char kPaused[] = "The DHCP server has been paused.\n";
constexpr char kContinued[] = "The DHCP server has been continued.\n";

// A regular expression for any local time stamp of a decision line.
constexpr char kTimestampPattern[] =
    "(?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}";

// A regular expression for the line that counts the lines the info log
// dropped, where writing resumes; the count is its first group.
constexpr char kDroppedPattern[] = "([0-9]+) lines? of this log (?:was|were) not written";

}  // namespace macgate
