#!/usr/bin/env bash
# Builds the Windows installer with wixl (msitools) from the files that
# tools/windows/build.sh stages for the zip: an MSI that installs them for
# every user into Program Files\NAME, adds a Start menu shortcut to the window
# program, shows the name, version, publisher and icon in Add/Remove Programs,
# and replaces an earlier version (melvix-programmer.wxs).
#   tools/windows/msi.sh WINDOWS_BUILD_DIR STAGE_DIR MSI [VERSION]
# The name, version and publisher come from the build (program-version.sh),
# the icon too (packaging/melvix-programmer.ico); VERSION stands in for the
# build's version, for the check that a later version replaces this one.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=tools/lib.sh
source tools/lib.sh
build=$(realpath "$1")
stage=$(realpath "$2")
msi=$(realpath -m "$3")
read_program_version "$build" || exit 1
version=${4:-$program_version}
wxs=$PWD/tools/windows/melvix-programmer.wxs
icon=$build/packaging/melvix-programmer.ico

# Every version has this upgrade code, by which a later one finds the earlier
# one it replaces: it never changes.
upgrade_code=DD1609EC-E0A3-47CB-8436-7E5AC73303CD
# The other codes are name-based UUIDs in its namespace: the product code from
# the version, so that each version is a product of its own and one build is
# the same product as another of its version; a component's code from what it
# holds (a file's path), so that it stays from version to version, as Windows
# Installer's component rules ask.
code() {
    uuidgen --sha1 --namespace "$upgrade_code" --name "$1" | tr a-f A-F
}

for needed in "$stage/melvix-programmer.exe" "$icon"; do
    [ -f "$needed" ] || { echo "msi.sh: $needed is missing" >&2; exit 1; }
done

xml_text() {
    local text=${1//&/&amp;}
    text=${text//</&lt;}
    text=${text//>/&gt;}
    echo "${text//\"/&quot;}"
}

# element_id PATH: sets id_ to the Id of a path in the stage, its letters,
# digits, _ and . (a prefix tells what it names); two paths never share one.
declare -A ids
element_id() {
    local id=${1//[^A-Za-z0-9_.]/_}
    if [ -n "${ids[$id]:-}" ]; then
        echo "msi.sh: $1 and ${ids[$id]} would have the same Id $id" >&2
        exit 1
    fi
    ids[$id]=$1
    id_=$id
}

# staged_files FOLDER: the directories and components for the stage's FOLDER
# (a path relative to it, empty or ending in /), a component for each file.
components=()
staged_files() {
    local entry name path
    for entry in "$stage/$1"*; do
        name=$(xml_text "${entry##*/}")
        path=$1${entry##*/}
        element_id "$path"
        if [ -d "$entry" ]; then
            echo "<Directory Id=\"dir_$id_\" Name=\"$name\">"
            staged_files "$path/"
            echo "</Directory>"
        else
            echo "<Component Id=\"component_$id_\" Guid=\"$(code "file $path")\" Win64=\"yes\">"
            echo "  <File Id=\"file_$id_\" Name=\"$name\" Source=\"stage/$(xml_text "$path")\" KeyPath=\"yes\"/>"
            echo "</Component>"
            components+=("component_$id_")
        fi
    done
}

start_work melvix-msi
shopt -s nullglob dotglob
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>'
    echo '<DirectoryRef Id="INSTALLDIR">'
    staged_files ""
    echo '</DirectoryRef>'
    echo '<ComponentGroup Id="StagedFiles">'
    printf '<ComponentRef Id="%s"/>\n' "${components[@]}"
    echo '</ComponentGroup>'
    echo '</Fragment></Wix>'
} >"$work/files.wxs"

# wixl finds sources by relative paths only.
ln -s "$stage" "$work/stage"
cp "$icon" "$work/program.ico"
(cd "$work" && wixl --arch x64 -o "$msi" \
    -D ProductCode="$(code "product $version")" -D UpgradeCode="$upgrade_code" \
    -D EntriesGuid="$(code "program entries")" \
    -D ProductName="$product_name" -D Version="$version" -D Publisher="$publisher" \
    -D Icon=program.ico \
    "$wxs" files.wxs)
echo "$msi"
