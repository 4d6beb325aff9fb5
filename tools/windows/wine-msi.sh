#!/usr/bin/env bash
# Runs the Windows installer under Wine as an administrator would: installs it
# silently and checks what it installed (the zip's files, the Start menu
# shortcut, the entry in Add/Remove Programs), runs the installed programs
# against a module simulator, installs a later version over it (and is then
# refused over that), and removes it silently, after which nothing of either
# is left. Prints the MSI's size and how long the silent install took.
#   tools/windows/wine-msi.sh WINDOWS_BUILD_DIR
# The MSI is the one tools/windows/build.sh made in WINDOWS_BUILD_DIR, beside
# the stage directory it was made from; the later version is made by msi.sh
# from a copy of that stage without its styles folder and with one file more.
# Wine runs in a prefix of its own, which no real serial device reaches (see
# wine-lib.sh); the simulator is the Linux build's (MELVIX_BUILD_DIR, default
# build).
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=tools/lib.sh
source tools/lib.sh
# shellcheck source=tools/windows/wine-lib.sh
source tools/windows/wine-lib.sh
windows_build=$(realpath "$1")
read_program_version "$windows_build" || exit 1
stage=$windows_build/melvix-programmer-$program_version-windows-x86_64
msi=$stage.msi

start_work melvix-wine-msi
start=$SECONDS
start_prefix
echo "msi: prefix ready in $((SECONDS - start)) s"

folder=$WINEPREFIX/drive_c/Program\ Files/$product_name
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# msiexec ACTION MSI: installs (/i) or removes (/x) a package silently.
msiexec() {
    run_wine msiexec "$1" "Z:${2//\//\\}" /qn >"$work/msiexec.out" 2>&1
}

# entries: the uninstall entries named as the program, each as reg shows it:
# its key, then a line for each value.
entries() {
    run_wine reg query "$uninstall" /s 2>/dev/null | tr -d '\r' |
        awk -F '    ' -v name="$product_name" '
            /^HKEY_/ { if (ours) printf "%s", entry; entry = ""; ours = 0 }
            { entry = entry $0 "\n" }
            $2 == "DisplayName" && $4 == name { ours = 1 }
            END { if (ours) printf "%s", entry }'
}

# shortcuts: the program's shortcuts anywhere on the prefix's drive C. A
# per-machine install puts its shortcut into the Start menu of every user
# (ProgramData\Microsoft\Windows\Start Menu\Programs), Wine's into the
# installing user's (AppData\Roaming\...), as its ProgramMenuFolder is always
# the user's.
shortcuts() {
    find "$WINEPREFIX/drive_c" -name "$product_name.lnk"
}

# value NAME: a value of the entry on standard input.
value() {
    awk -F '    ' -v name="$1" '$2 == name { print $4 }'
}

# installed VERSION STAGE: the program is installed once, as VERSION, with
# the files of STAGE; passes or fails NAME.
installed() {
    local entry differences
    entry=$(entries)
    if [ "$(grep -c '^HKEY_' <<<"$entry")" -ne 1 ]; then
        fail "one entry in Add/Remove Programs, for $1" "$entry"
        return
    fi
    pass "one entry in Add/Remove Programs: $(head -1 <<<"$entry")"
    if [ "$(value DisplayVersion <<<"$entry")" = "$1" ] &&
        [ "$(value Publisher <<<"$entry")" = "$publisher" ]; then
        pass "it shows version $1 and publisher $publisher"
    else
        fail "it shows version $1 and publisher $publisher" "$entry"
    fi
    if differences=$(diff -r "$2" "$folder" 2>&1); then
        pass "the installed files are those of $(basename "$2")"
    else
        fail "the installed files are those of $(basename "$2")" "$differences"
    fi
}

# Installed.
install_start=$EPOCHREALTIME
if msiexec /i "$msi"; then
    pass "silent install"
else
    fail "silent install" "$(cat "$work/msiexec.out")"
fi
awk -v bytes="$(stat -c %s "$msi")" -v start="$install_start" -v end="$EPOCHREALTIME" \
    'BEGIN { printf "msi: %.1f MB, installed in %.1f s\n", bytes / 1e6, end - start }'
installed "$program_version" "$stage"
icon=$(entries | value DisplayIcon)
icon_file=$(run_wine winepath -u "$icon" 2>/dev/null | tr -d '\r')
if [ -n "$icon" ] && [ -f "$icon_file" ] &&
    x86_64-w64-mingw32-windres -J coff -i "$icon_file" -O rc 2>/dev/null | grep -q RT_GROUP_ICON; then
    pass "its icon is that of $icon"
else
    fail "its icon is that of the installed program" "DisplayIcon: $icon"
fi
shortcut=$(shortcuts)
if [ "$(wc -l <<<"$shortcut")" -eq 1 ] && [[ $shortcut == */Start\ Menu/Programs/"$product_name.lnk" ]]; then
    pass "the Start menu shortcut: ${shortcut#"$WINEPREFIX/"}"
else
    fail "one Start menu shortcut" "$shortcut"
fi

# The installed programs, against a simulator; the window from the Start menu.
simulate 3
expect "installed melvix-module.exe reads COM3" 0 '^COM3: channel 5, address WXYZ$' \
    "$folder/melvix-module.exe" read --port COM3
expect "installed melvix-module.exe detects" 0 '^COM3: channel 5, address WXYZ$' \
    "$folder/melvix-module.exe" detect
only_simulated_ports
# A shortcut that leads nowhere opens a message box, and start waits for it.
timeout 60 "$wine" start /unix "$shortcut" >"$work/shortcut.out" 2>&1 || true
# The window is shown once detection is over.
if wait_for 600 xdotool search --name "^$window_title\$"; then
    pass "the shortcut opens the window"
else
    fail "the shortcut opens the window" "$(cat "$work/shortcut.out")"
fi
# Asked to close, as Windows asks a program when it shuts down.
window_closed() {
    ! xdotool search --name "^$window_title\$"
}
"$wine" taskkill /im melvix-programmer.exe >/dev/null 2>&1 || true
if wait_for 100 window_closed; then
    pass "the window closes when asked"
else
    fail "the window closes when asked"
fi

# A later version: it replaces this one.
IFS=. read -r major minor _ <<<"$program_version"
later_version=$major.$((minor + 1))
later=$work/melvix-programmer-$later_version-windows-x86_64
cp -r "$stage" "$later"
rm -r "$later/styles"
echo "$later_version" >"$later/later-version.txt"
tools/windows/msi.sh "$windows_build" "$later" "$later.msi" "$later_version" >/dev/null
if msiexec /i "$later.msi"; then
    pass "silent install of version $later_version over $program_version"
else
    fail "silent install of version $later_version over $program_version" "$(cat "$work/msiexec.out")"
fi
if msiexec /i "$msi"; then
    fail "version $program_version is refused over $later_version"
else
    pass "version $program_version is refused over $later_version"
fi
installed "$later_version" "$later"

# Removed: nothing of it is left.
if msiexec /x "$later.msi"; then
    pass "silent removal"
else
    fail "silent removal" "$(cat "$work/msiexec.out")"
fi
left=$(entries)
left+=$(shortcuts)
[ ! -e "$folder" ] || left+=$'\n'$folder
if [ -z "$left" ]; then
    pass "nothing is left: the folder, the shortcut and the entry are gone"
else
    fail "nothing is left" "$left"
fi

echo "msi: $((SECONDS - start)) s in all"
echo "msi: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
