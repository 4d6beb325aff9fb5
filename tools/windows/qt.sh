#!/usr/bin/env bash
# Builds Qt for Windows (Core, Gui, Widgets, the Windows platform plugin and
# styles, shared) from Debian's own qt6-base source with mingw-w64, once per
# Qt version, into a cache outside the checkout. Prints the install prefix.
#   tools/windows/qt.sh
# MELVIX_CACHE chooses the cache (default ~/.cache/melvix). A second run finds
# the finished install there and returns at once.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# The host's Qt runs moc, uic and rcc for the Windows build, so the Windows
# Qt must be the very same version: take its source from the suite that
# delivered the host's Qt.
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
upstream=${host_version%%+*}
upstream=${upstream#*:}
cache=${MELVIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/melvix}
prefix=$cache/qt-$upstream-mingw-w64-x86_64
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/qt-build.XXXXXX")
trap 'rm -rf "$work"' EXIT

# apt-get source needs a deb-src line. One of our own, in a private apt
# configuration, leaves the machine's sources and package lists untouched.
origin=$(apt-cache madison qt6-base-dev | awk -F' [|] ' -v v="$host_version" '$2 == v { print $3; exit }')
read -r uri suite_component _ <<<"$origin"
if [ -z "$uri" ]; then
    echo "qt.sh: no archive serves qt6-base-dev $host_version" >&2
    exit 1
fi
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
echo "deb-src $uri ${suite_component%%/*} ${suite_component#*/}" >"$apt_dir/sources.list"
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Debug::NoLocking=true"
    -o "APT::Sandbox::User=$(id -un)"
)
apt-get "${apt_options[@]}" -qq update
# dpkg-source's warnings about Debian's patches are kept for a failure.
(cd "$work" && apt-get "${apt_options[@]}" -qq source "qt6-base=$host_version") >"$work/source.log" 2>&1 || {
    cat "$work/source.log" >&2
    exit 1
}
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')

# Off: every module the project does not use. tabletevent needs the wintab
# header, which Debian's source leaves out. OpenGL goes as a whole
# (INPUT_opengl=no): turning the opengl feature off alone leaves dynamic
# OpenGL on, and the Windows platform plugin then does not compile.
# pkg-config off keeps the build machine's libraries out of a Windows build.
features_off=(network sql dbus opengl dynamicgl vulkan printsupport concurrent xml testlib icu
    tabletevent pkg_config)
configure=(
    -G Ninja -S "$source_dir" -B "$work/build"
    -DCMAKE_TOOLCHAIN_FILE="$here/mingw-w64.cmake"
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix"
    -DBUILD_SHARED_LIBS=ON
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/cmake
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DINPUT_opengl=no
)
for feature in "${features_off[@]}"; do
    configure+=(-DFEATURE_$feature=OFF)
done
cmake "${configure[@]}" >"$work/configure.log" 2>&1 || {
    tail -40 "$work/configure.log" >&2
    exit 1
}
nice cmake --build "$work/build" -j"${MELVIX_JOBS:-2}" >"$work/build.log" || {
    grep -B5 -A20 -m1 'FAILED' "$work/build.log" >&2 || tail -40 "$work/build.log" >&2
    exit 1
}
rm -rf "$prefix"
cmake --install "$work/build" >/dev/null
# Only a finished install counts; a broken one is built again.
touch "$prefix/.complete"
echo "$prefix"
