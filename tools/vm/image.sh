#!/usr/bin/env bash
# Prepares what the test virtual machine boots: Debian's own kernel package,
# fetched with apt-get download and unpacked (never installed here), and a
# small initramfs of busybox and the kernel modules the guest needs, their
# dependencies resolved by depmod and modprobe. Kept in a cache directory and
# made again only when the kernel package changes.
#   tools/vm/image.sh     prints the cache directory, holding vmlinux and initrd
# MELVIX_VM_CACHE names the cache directory (default ~/.cache/melvix-vm).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${MELVIX_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/melvix-vm}
mkdir -p "$cache"

# The kernel that Debian's linux-image-amd64 stands for today.
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }')
if [ -z "$package" ]; then
    echo "image.sh: apt knows no linux-image-amd64; run apt-get update" >&2
    exit 1
fi
version=${package#linux-image-}
ready="$cache/$package.ready"
if [ -f "$ready" ] && [ -f "$cache/vmlinux" ] && [ -f "$cache/initrd" ]; then
    echo "$cache"
    exit 0
fi

work=$(mktemp -d "$cache/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt-get download writes into the current directory; as root it warns that
# it cannot hand the download to its unprivileged user, which is harmless.
(cd "$work" && apt-get download "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2) ||
    { echo "image.sh: could not download $package" >&2; exit 1; }
dpkg-deb -x "$work"/"$package"_*.deb "$work/kernel"
depmod -b "$work/kernel" "$version"

root="$work/initramfs"
mkdir -p "$root"/{bin,dev,proc,sys,newroot,modules}
cp /bin/busybox "$root/bin/busybox"
cp "$here/init" "$root/init"
chmod 755 "$root/init"
# Every module with its dependencies first, each once, in the order insmod
# needs them.
modules=(virtio_pci 9p 9pnet_virtio xhci_pci ftdi_sio cdc_acm)
: >"$root/modules/order"
for module in "${modules[@]}"; do
    modprobe -d "$work/kernel" -S "$version" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r path; do
    name=$(basename "$path")
    cp "$path" "$root/modules/$name"
    echo "$name" >>"$root/modules/order"
done
(cd "$root" && find . | cpio --quiet -o -H newc | gzip -1) >"$work/initrd"

# The kernel unpacked from its xz-compressed image, booted directly through
# its PVH entry: without the firmware and decompressor that an emulated CPU
# runs slowly, the guest comes up in a third of the time.
image="$work/kernel/boot/vmlinuz-$version"
offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | head -1 | cut -d: -f1)
tail -c +$((offset + 1)) "$image" >"$work/vmlinux.xz"
xz -dc --single-stream "$work/vmlinux.xz" >"$work/vmlinux"
mv "$work/vmlinux" "$cache/vmlinux"
mv "$work/initrd" "$cache/initrd"
rm -f "$cache"/*.ready
touch "$ready"
echo "$cache"
