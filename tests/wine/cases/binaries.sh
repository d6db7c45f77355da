# Checks of the built Windows files themselves: what a DHCP server and a
# Windows loader see before any code runs. Needs binutils-mingw-w64 only.
# shellcheck shell=bash

# The same eight names that libmacgate.so exports.
EXPORTED_NAMES=$(cat "$root/tests/data/exported-names.txt")

# DLLs present on every Windows; anything else (libgcc_s_*, libstdc++-6,
# libwinpthread-1) would be missing on the server.
SYSTEM_DLLS='kernel32.dll msvcrt.dll user32.dll advapi32.dll version.dll'

objdump_of() {
    case $1 in
        x86) echo i686-w64-mingw32-objdump ;;
        x64) echo x86_64-w64-mingw32-objdump ;;
    esac
}

windres_of() {
    case $1 in
        x86) echo i686-w64-mingw32-windres ;;
        x64) echo x86_64-w64-mingw32-windres ;;
    esac
}

# Fails unless every DLL that FILE imports is a system DLL.
expect_system_imports() {
    local arch=$1 file=$2 name bad=''
    for name in $("$(objdump_of "$arch")" -p "$file" | awk '/DLL Name:/ {print tolower($3)}'); do
        [[ " $SYSTEM_DLLS " == *" $name "* ]] || bad+=" $name"
    done
    [ -z "$bad" ] || fail "$file imports non-system DLLs:$bad"
}

check_dll_format() {
    local arch=$1 dll=$DLL expected
    expected=$([ "$arch" = x86 ] && echo pei-i386 || echo pei-x86-64)
    "$(objdump_of "$arch")" -f "$dll" | grep -q "file format $expected" ||
        fail "$dll is not $expected"
}

check_dll_exports() {
    local arch=$1 dll=$DLL names
    # The name table lists each exported name as "[ n] Name".
    names=$("$(objdump_of "$arch")" -p "$dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        awk '/^\t\[/ {print $NF}' | LC_ALL=C sort)
    expect_eq "exported names of $dll" "$EXPORTED_NAMES" "$names"
}

check_dll_imports() {
    expect_system_imports "$1" "$DLL"
}

check_exe_imports() {
    local file
    for file in "$PROBE" ${TOOL:+"$TOOL"}; do
        expect_system_imports "$1" "$file"
    done
}

# Both files carry the version record, under their own names.
check_versions() {
    local arch=$1 file rc
    [ -n "$TOOL" ] || fail "macgate.exe is missing: build the mingw presets first"
    for file in "$DLL" "$TOOL"; do
        rc=$("$(windres_of "$arch")" -i "$file" -O rc) || fail "cannot read the resources of $file"
        grep -q '^ FILEVERSION 1, 0, 0, 1$' <<<"$rc" || fail "file version of $file is not 1.0.0.1"
        grep -q '^ PRODUCTVERSION 1, 0, 0, 1$' <<<"$rc" ||
            fail "product version of $file is not 1.0.0.1"
        # The version strings that Explorer shows agree.
        [ "$(grep -cE 'VALUE "(File|Product)Version", "1\.0\.0\.1"' <<<"$rc")" -eq 2 ] ||
            fail "the version strings of $file are not 1.0.0.1"
        grep -q "VALUE \"OriginalFilename\", \"${file##*/}\"" <<<"$rc" ||
            fail "the version record of $file names another file"
    done
}

# macgate inspect (the Linux build) on the built files: what it reads from
# their bytes agrees with what they are.
# file          | machine | status | what it says
INSPECT_ROWS='
DLL             | ARCH    | 0      | is macgate 1.0.0.1 for ARCH Windows, with the eight callout functions.
DLL             | OTHER   | 1      | is macgate for ARCH Windows, but this is OTHER Windows, where
TOOL            | ARCH    | 1      | is a program, not a library.
OTHERCALLOUT    | ARCH    | 1      | is a callout library but not macgate: it carries no version record.
'

check_dll_inspect() {
    local arch=$1 other file machine status text got path
    other=$([ "$arch" = x64 ] && echo x86 || echo x64)
    while IFS='|' read -r file machine status text; do
        file=$(echo $file) machine=$(echo $machine) status=$(echo $status) text=${text# }
        [ -n "$file" ] || continue
        case $file in
            DLL) path=$DLL ;;
            TOOL) path=$TOOL ;;
            OTHERCALLOUT) path="$(dirname "$PROBE")/othercallout.dll" ;;
        esac
        machine=${machine/OTHER/$other}
        machine=${machine/ARCH/$arch}
        got=0
        linux_tool inspect --machine "$machine" "$path" >inspect.out 2>&1 || got=$?
        [ "$got" -eq "$status" ] || fail "inspect $file on $machine exited $got, not $status"
        as_arch <inspect.out | grep -qF " $text" ||
            fail "inspect $file on $machine: no '$text' in $(cat inspect.out)"
    done <<<"$INSPECT_ROWS"
}

register_case binary "macgate.dll is a PE file of its architecture" check_dll_format
register_case binary "macgate.dll exports exactly the eight hooks, undecorated" check_dll_exports
register_case binary "macgate.dll imports only system DLLs" check_dll_imports
register_case binary "the Windows programs import only system DLLs" check_exe_imports
register_case binary "macgate.dll and macgate.exe carry file and product version 1.0.0.1" \
    check_versions
register_case binary "macgate inspect reads each built file for what it is" check_dll_inspect

# Words of arguments the server passes to each export. On x86 every export is
# stdcall and pops exactly these, so a wrong count corrupts the server's stack.
declare -A ARGUMENT_WORDS=(
    [DhcpServerCalloutEntry]=3 [DhcpControlHook]=2 [DhcpNewPktHook]=6 [DhcpPktDropHook]=6
    [DhcpPktSendHook]=6 [DhcpAddressDelHook]=7 [DhcpAddressOfferHook]=9 [DhcpDeleteClientHook]=5
)

# Reads the first return instruction of each export from the disassembly, so
# that it works on a stripped DLL too.
check_dll_stdcall() {
    local arch=$1 objdump base index name start ret bad=''
    objdump=$(objdump_of "$arch")
    base=$("$objdump" -p "$DLL" | awk '/^ImageBase/ {print $2}')
    declare -A address
    while read -r index rva; do
        address[$index]=$((0x$base + 0x$rva))
    done < <("$objdump" -p "$DLL" |
        sed -nE 's/^\t\[ *([0-9]+)\] \+base\[ *[0-9]+\] ([0-9a-f]+) Export RVA/\1 \2/p')
    while read -r index name; do
        start=${address[$index]}
        "$objdump" -d --no-show-raw-insn --start-address="$start" \
            --stop-address=$((start + 8192)) "$DLL" >code
        ret=$(awk '{for (i = 2; i <= NF; i++) if ($i == "ret") {print (i < NF ? $(i + 1) : "ret"); exit}}' code)
        if [ "$ret" != "\$$(printf '0x%x' $((4 * ARGUMENT_WORDS[$name])))" ]; then
            bad+=" $name ($ret)"
        fi
    done < <("$objdump" -p "$DLL" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -nE 's/^\t\[ *([0-9]+)\] (.*)$/\1 \2/p')
    [ -z "$bad" ] || fail "exports that do not pop the server's arguments:$bad"
}

register_case binary "x86 exports are stdcall and pop the server's arguments" check_dll_stdcall x86
