# A list with prefix entries through the Windows builds: the example capture
# gets the verdicts that the prefixes imply, and the same logs as on Linux.
# shellcheck shell=bash

PREFIX_LIST="$root/tests/data/wine/prefix-list.txt"
PREFIX_REPLAY="$root/tests/data/wine/prefix-replay.txt"

case_prefix_replay() {
    replay_both "$PREFIX_LIST"
    expect_same_text "verdicts of the Linux build" "$PREFIX_REPLAY" linux/out
    expect_same_as_linux windows
    expect_same_text "error log" <(echo "Mac Address 5254006b*01 on line number 7 not of proper format") \
        <(tr -d '\r' <windows/error.log)
    grep -q '^Successfully read mac addresses$' linux/info.log ||
        fail "the Linux run did not load $PREFIX_LIST"
}

register_case wine "example capture with a prefix list: verdicts and logs as on Linux" case_prefix_replay
