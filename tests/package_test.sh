#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks what it would put on
# a system: exactly the two programs, the desktop entry, its icons, the
# manual pages, melvix-module's bash completion and the changelog, each
# usable, dependencies that bring in the Qt runtime, and what lintian says: no error or warning, and, from a build
# with Debian's hardening flags, programs that carry them.
#   package_test.sh BUILD_DIR VERSION HARDENED(ON|OFF)
set -euo pipefail
# shellcheck source=tools/lib.sh
source "$(dirname "$0")/../tools/lib.sh"

build_dir=$1
version=$2
hardened=$3
start_work melvix-package

# Into a directory of its own, so that no test package is left in the build tree.
if ! cpack -G DEB -B "$work/out" --config "$build_dir/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
fi
deb=$work/out/melvix-programmer_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$deb" ]; then
    echo "FAIL: no $(basename "$deb"); cpack made:" >&2
    ls "$work/out" >&2
    exit 1
fi
root=$work/root
dpkg-deb -x "$deb" "$root"

icon_sizes=(16 32 48 64 128 256)
expected=(
    usr/bin/melvix-module
    usr/bin/melvix-programmer
    usr/bin/modulesim
    usr/share/applications/melvix-programmer.desktop
    usr/share/bash-completion/completions/melvix-module
    usr/share/doc/melvix-programmer/changelog.gz
    usr/share/man/man1/melvix-module.1.gz
    usr/share/man/man1/melvix-programmer.1.gz
    usr/share/man/man1/modulesim.1.gz
)
for size in "${icon_sizes[@]}"; do
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/melvix-programmer.png")
done
# Anything more is something the build tree installs by mistake: a library,
# a header, a test program.
if ! diff -u <(printf '%s\n' "${expected[@]}" | sort) \
        <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort) >"$work/files.diff"; then
    cat "$work/files.diff" >&2
    fail "the package's files differ from those expected (- missing, + unexpected)"
fi

for program in melvix-module melvix-programmer modulesim; do
    [ -x "$root/usr/bin/$program" ] || fail "usr/bin/$program is not executable"
done
# Stripped and installed, the simulator must still run.
"$root/usr/bin/modulesim" --help >/dev/null || fail "the packaged modulesim --help failed"
"$root/usr/bin/melvix-module" --version >/dev/null || fail "the packaged melvix-module --version failed"

entry=$root/usr/share/applications/melvix-programmer.desktop
if [ -f "$entry" ]; then
    validation=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate rejected the entry"
    [ -z "$validation" ] || fail "desktop-file-validate: $validation"
    # The launcher has to name a program and an icon that the package holds.
    exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
    [ -n "$exec_program" ] && [ -x "$root/usr/bin/$exec_program" ] ||
        fail "the desktop entry runs '$exec_program', which is not in usr/bin"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    [ -n "$icon" ] && [ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] ||
        fail "the desktop entry's icon '$icon' is not among the icons"
fi

# The PNG header gives width and height as big-endian 32-bit numbers at
# bytes 16 to 23.
for size in "${icon_sizes[@]}"; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/melvix-programmer.png
    [ -f "$png" ] || continue
    read -r -a header <<<"$(od -An -tu1 -w24 -N24 "$png")"
    width=$(( (header[16] << 24) | (header[17] << 16) | (header[18] << 8) | header[19] ))
    height=$(( (header[20] << 24) | (header[21] << 16) | (header[22] << 8) | header[23] ))
    [ "${header[*]:1:3}" = "80 78 71" ] && [ "$width" = "$size" ] &&
        [ "$height" = "$size" ] || fail "the ${size}x${size} icon is not a ${size}x${size} PNG"
done

for page in "$root"/usr/share/man/man1/*.1.gz; do
    [ -f "$page" ] || continue
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >"$work/page.txt") ||
        fail "man cannot show $(basename "$page")"
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    grep -q '^NAME' "$work/page.txt" || fail "$(basename "$page") renders without a NAME section"
done

# What bash offers after the words given, the last being the one completed,
# as bash-completion loads the packaged script.
completion=$root/usr/share/bash-completion/completions/melvix-module
offered() {
    bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" && shift &&
        COMP_WORDS=("$@") && COMP_CWORD=$(($# - 1)) && COMP_LINE="$*" &&
        COMP_POINT=${#COMP_LINE} && _melvix_module && printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$completion" melvix-module "$@" | sort | tr '\n' ' '
}
if [ -f "$completion" ]; then
    [ "$(offered '')" = "--help --version detect map ports read write " ] ||
        fail "completion of a command offers '$(offered '')'"
    [ "$(offered write --e)" = "--each " ] || fail "completion of write --e offers '$(offered write --e)'"
    [ "$(offered detect --p)" = "--parallel --ports " ] ||
        fail "completion of detect --p offers '$(offered detect --p)'"
    # An option once, and none beside one that excludes it.
    [ "$(offered write --channel 3 --each --)" = "--again --fixed-waits --generation --json --log --port --ports " ] ||
        fail "completion after --each offers '$(offered write --channel 3 --each --)'"
    [ "$(offered read --port=COM1 --)" = "--fixed-waits --generation --json --log --wait " ] ||
        fail "completion after --port offers '$(offered read --port=COM1 --)'"
    [ "$(offered map line1 --by-id --)" = "--json " ] ||
        fail "completion of map after --by-id offers '$(offered map line1 --by-id --)'"
    mkdir "$work/map"
    ln -s /dev/null "$work/map/com3"
    ln -s /nonexistent "$work/map/com12"
    # Above COM31, which --port refuses, and misnamed.
    ln -s /dev/null "$work/map/com32"
    ln -s /dev/null "$work/map/com03"
    touch "$work/map/notes"
    ports=$(MELVIX_PORT_DIR=$work/map offered read --port '')
    [ "$ports" = "COM12 COM3 " ] || fail "completion of --port offers '$ports', not the mapped ports"
    # --port takes any case.
    ports=$(MELVIX_PORT_DIR=$work/map offered read --port com)
    [ "$ports" = "com12 com3 " ] || fail "completion of --port com offers '$ports'"
fi

changelog=$root/usr/share/doc/melvix-programmer/changelog.gz
if [ -f "$changelog" ]; then
    entry_version=$(zcat "$changelog" | head -n 1 | sed -n 's/^melvix-programmer (\([^)]*\)).*/\1/p')
    [ "$entry_version" = "$version" ] ||
        fail "the changelog's latest entry is for '$entry_version', not $version"
fi

# The package has no copyright file yet: no licence has been chosen for it.
lintian_allowed='^E: [^ ]+: no-copyright-file'
# hardening-no-fortify-functions is left out: lintian infers it from the
# calls in the binary, and these programs make no call whose buffer size the
# compiler knows, so it shows with fortification on. The compile commands
# show that instead.
hardening_tags='hardening-no-(relro|bindnow|pie)'
lintian --display-info "$deb" >"$work/lintian.txt" 2>&1 || true
complaints=$(grep -E '^[EW]: ' "$work/lintian.txt" | grep -Ev "$lintian_allowed" || true)
[ -z "$complaints" ] || fail "lintian: $complaints"
if [ "$hardened" = ON ]; then
    unhardened=$(grep -E "$hardening_tags" "$work/lintian.txt" || true)
    [ -z "$unhardened" ] || fail "lintian: $unhardened"
    if [ -f "$build_dir/build.ninja" ]; then
        for object in app/CMakeFiles/melvix-programmer.dir/main.cpp.o \
                tools/modulesim/CMakeFiles/modulesim.dir/main.cpp.o; do
            grep -A4 "^build $object:" "$build_dir/build.ninja" |
                grep -q -- '-D_FORTIFY_SOURCE=' || fail "$object is compiled without fortification"
        done
    fi
fi

depends=$(dpkg-deb -f "$deb" Depends)
grep -Eq '(^|[ ,])libqt6[a-z0-9]*' <<<"$depends" ||
    fail "Depends names no Qt 6 library: '$depends'"

if [ "$failed" -ne 0 ]; then
    echo "$failed check(s) failed" >&2
    exit 1
fi
echo "$(basename "$deb"): files, desktop entry, icons, manual pages, completion, changelog, dependencies and lintian's view as expected"
