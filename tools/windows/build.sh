#!/usr/bin/env bash
# Builds the project for 64-bit Windows with mingw-w64 and the Qt that
# tools/windows/qt.sh builds (once, into its cache), with warnings as errors,
# and packs the Windows deliverables from one stage directory, with both
# programs and every DLL and Qt plugin they load: an installer (MSI, see
# msi.sh) that installs them for every user of the machine, and a zip that a
# user without administrator rights unpacks and runs.
#   tools/windows/build.sh [BUILD_DIR]    (default: build-windows)
# Prints the zip's path and the MSI's, one a line.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=tools/lib.sh
source tools/lib.sh
build=${1:-build-windows}
triple=x86_64-w64-mingw32

qt=$(tools/windows/qt.sh)
cmake -S . -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/windows/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$qt" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/cmake \
    -DMELVIX_WERROR=ON >/dev/null
cmake --build "$build" -j2 >&2

read_program_version "$build"
name=melvix-programmer-$program_version-windows-x86_64
stage=$build/$name
rm -rf "$stage" "$build/$name.zip" "$build/$name.msi"
mkdir -p "$stage/platforms" "$stage/styles"
cp "$build/melvix-programmer.exe" "$build/melvix-module.exe" "$stage/"
cp "$qt"/bin/Qt6{Core,Gui,Widgets}.dll "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
# The compiler's own runtime: C++ library, unwinder, threads.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$("$triple-g++-posix" -print-file-name="$dll")" "$stage/"
done
"$triple-strip" --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll

# Every DLL that a file of the zip loads is in the zip, or is one of
# Windows' own: one for which mingw-w64 has an import library, or an API set
# (api-ms-win-*).
missing=0
for file in "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll; do
    for dll in $("$triple-objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
        [ -e "$stage/$dll" ] && continue
        case "$dll" in api-ms-win-*) continue ;; esac
        system=$(tr 'A-Z' 'a-z' <<<"${dll%.[dD][lL][lL]}")
        [ -e "/usr/$triple/lib/lib$system.a" ] && continue
        echo "build.sh: $(basename "$file") needs $dll, which the stage does not hold" >&2
        missing=1
    done
done
[ "$missing" -eq 0 ] || exit 1

(cd "$build" && zip -qr "$name.zip" "$name")
tools/windows/msi.sh "$build" "$stage" "$build/$name.msi" >/dev/null
echo "$build/$name.zip"
echo "$build/$name.msi"
