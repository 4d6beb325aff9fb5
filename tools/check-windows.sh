#!/usr/bin/env bash
# Keeps the Windows build honest without a Qt for Windows at hand:
#  1. no file of serial/, module/, window/, app/ or cli/ includes a POSIX- or Linux-only
#     header, or a Windows header other than <windows.h> (the one the platform
#     layer provides elsewhere), unless it is a per-platform file;
#  2. every source a Windows build compiles passes a syntax-only compile by
#     mingw-w64 against its real <windows.h> and the system's Qt headers,
#     with the window's generated ui_*.h.
#
# A per-platform file is named *_posix.cpp, *_unix.cpp or *_linux.cpp (or
# *_win.cpp, *_win32.cpp for Windows), or is listed in its directory's
# CMakeLists.txt only inside an if() that holds for POSIX systems alone
# (if(NOT WIN32), if(UNIX), if(LINUX), ...).
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
qt_headers=${QT_HEADERS:-$(qtpaths6 --query QT_INSTALL_HEADERS)}
qt_libexec=${QT_LIBEXEC:-$(qtpaths6 --query QT_HOST_LIBEXECS)}
directories=(serial module window app cli)

# Files that CMake adds only off Windows: every .cpp/.h named inside an
# if() whose branch holds for POSIX systems only.
posix_listed_in_cmake() {
    awk '
        function kind(condition) {
            if (condition ~ /NOT[ \t]+WIN32|UNIX|LINUX|APPLE|"Linux"|"Darwin"/) return "posix"
            if (condition ~ /WIN32|MSVC|MINGW/) return "windows"
            return "neutral"
        }
        function posix_now(   i) {
            for (i = 1; i <= depth; ++i) if (stack[i] == "posix") return 1
            return 0
        }
        /^[ \t]*if[ \t]*\(/     { stack[++depth] = kind($0); next }
        /^[ \t]*elseif[ \t]*\(/ { stack[depth] = kind($0); next }
        /^[ \t]*else[ \t]*\(/   {
            if (stack[depth] == "posix") stack[depth] = "windows"
            else if (stack[depth] == "windows") stack[depth] = "posix"
            next
        }
        /^[ \t]*endif[ \t]*\(/  { --depth; next }
        posix_now() {
            for (i = 1; i <= NF; ++i)
                if ($i ~ /\.(cpp|h)\)?$/) { name = $i; sub(/\)$/, "", name); print name }
        }
    ' "$1/CMakeLists.txt" | sed "s|^|$1/|"
}

is_posix_only() {
    case "$1" in
    *_posix.* | *_unix.* | *_linux.*) return 0 ;;
    esac
    grep -qxF "$1" <<<"$posix_listed"
}

is_windows_only() {
    case "$1" in
    *_win.* | *_win32.*) return 0 ;;
    esac
    return 1
}

posix_listed=$(for dir in "${directories[@]}"; do posix_listed_in_cmake "$dir"; done)

# 1. Headers that exist on one side only.
posix_headers='sys/|unistd\.h|termios\.h|termio\.h|linux/|asm/|poll\.h|fcntl\.h|dirent\.h|pthread\.h|pty\.h|utmp\.h|dlfcn\.h|arpa/|netinet/|netdb\.h|pwd\.h|grp\.h|libgen\.h|semaphore\.h|spawn\.h|syslog\.h|execinfo\.h|err\.h|endian\.h|ucontext\.h|wait\.h|glob\.h|fnmatch\.h|features\.h'
windows_headers='win[a-z0-9]*\.h|[a-z]*api\.h|io\.h|process\.h|conio\.h|tchar\.h|direct\.h|shlobj\.h|objbase\.h|devguid\.h|ntddser\.h|dbt\.h'
failures=0
while IFS= read -r file; do
    if ! is_posix_only "$file" &&
        grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($posix_headers)" "$file"; then
        echo "$file: POSIX-only header outside a per-platform file" >&2
        failures=1
    fi
    if ! is_windows_only "$file" &&
        grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($windows_headers)>" "$file" |
        grep -v '<windows\.h>'; then
        echo "$file: Windows-only header outside a per-platform file" >&2
        failures=1
    fi
done < <(find "${directories[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
[ "$failures" -eq 0 ] || exit 1

# 2. A syntax-only compile of each Windows source.
generated=$(mktemp -d)
trap 'rm -rf "$generated"' EXIT
for form in window/*.ui; do
    "$qt_libexec/uic" --connections=pmf "$form" -o "$generated/ui_$(basename "${form%.ui}").h"
done

# What Qt's CMake targets and ours define for a Windows build, with
# stand-ins for the version and the window's title that programversion
# defines.
flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Werror
    -DUNICODE -D_UNICODE -DNOMINMAX -DMELVIX_VERSION=\"0\" -DMELVIX_WINDOW_TITLE=\"0\"
    -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB
    -iquote "$generated")
for dir in "${directories[@]}"; do
    flags+=(-I "$dir")
done
for module in "" QtCore QtGui QtWidgets; do
    flags+=(-isystem "$qt_headers/$module")
done

checked=0
while IFS= read -r source; do
    is_posix_only "$source" && continue
    "$compiler" "${flags[@]}" "$source" || failures=1
    checked=$((checked + 1))
done < <(find "${directories[@]}" -type f -name '*.cpp' | sort)

if [ "$failures" -ne 0 ]; then
    echo "check-windows: the Windows build would fail" >&2
    exit 1
fi
echo "check-windows: $checked sources compile against mingw-w64's <windows.h>; no platform-only header outside the platform split"
