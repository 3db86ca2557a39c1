#!/usr/bin/env bash
# The lab: boots a virtual machine (QEMU, software emulation) on Debian's kernel with the host's /
# as its root, sets up real Bluetooth and USB stacks with simulated phones, runs the lab tests
# inside and reports their results. Usage: lab.sh BUILD_DIR [--shell] [TEST...]
# Every TEST names a file tests/lab/TEST.test.sh; without any, all of them run. --shell gives a shell
# in the machine once the stacks are up (nothing runs; leave it with "exit").
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
shift
shell=0
if [ "${1:-}" = --shell ]; then
    shell=1
    shift
fi
lab=$source_dir/build-lab
mkdir -p "$lab"

fail() {
    echo "lab: $*" >&2
    exit 1
}

# The tests asked for (all of them when none is named): each must come back with its result.
tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
    mapfile -t tests < <(cd "$here" && ls -- *.test.sh | sed 's/\.test\.sh$//')
fi
for name in "${tests[@]}"; do
    [ -f "$here/$name.test.sh" ] || fail "no test $name (tests/lab/$name.test.sh)"
done

# A machine where QEMU cannot run fails the stage: the lab's tests must not pass unseen.
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (package qemu-system-x86)"
qemu-system-x86_64 -machine help >/dev/null 2>&1 || fail "qemu-system-x86_64 does not run here"

# Debian's kernel, unpacked once per version: its uncompressed image (booting the compressed
# one costs seconds of self-decompression under emulation) and its modules with their index.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
package=$(kernel_package)
if [ -z "$package" ]; then # a fresh machine may have no package lists yet
    apt-get update -qq >/dev/null 2>&1 || true
    package=$(kernel_package)
fi
[ -n "$package" ] || fail "no linux-image-amd64 in the package lists (apt-get update?)"
version=${package#linux-image-}
kernel=$lab/kernel-$version
if [ ! -s "$kernel/vmlinux" ]; then
    echo "lab: unpacking $package"
    rm -rf "$kernel" "$lab"/*.deb
    (cd "$lab" && apt-get download -q "$package" >/dev/null 2>&1) || fail "apt-get download $package failed"
    mkdir -p "$kernel/root"
    dpkg-deb -x "$lab"/"$package"_*.deb "$kernel/root"
    rm -f "$lab"/*.deb
    depmod -b "$kernel/root" "$version"
    image=$kernel/root/boot/vmlinuz-$version
    # The image is xz-compressed after the boot stub: the first xz stream that unpacks to an ELF.
    for offset in $(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | cut -d: -f1); do
        tail -c +$((offset + 1)) "$image" | xz -dc >"$kernel/vmlinux.part" 2>/dev/null || true
        if [ "$(head -c 4 "$kernel/vmlinux.part" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
            mv "$kernel/vmlinux.part" "$kernel/vmlinux"
            break
        fi
    done
    rm -f "$kernel/vmlinux.part"
    [ -s "$kernel/vmlinux" ] || fail "no ELF kernel found in $image"
fi
modules=$kernel/root/lib/modules/$version

# The initramfs: static busybox, the init script and the modules that reach the host's root.
initrd=$lab/initrd-$version.cpio
if [ ! -s "$initrd" ] || [ "$here/init" -nt "$initrd" ]; then
    staging=$(mktemp -d)
    mkdir -p "$staging"/{bin,proc,sys,dev,modules}
    cp /bin/busybox "$staging/bin/busybox"
    cp "$here/init" "$staging/init"
    for m in virtio_pci 9pnet_virtio 9p overlay; do
        modprobe -d "$kernel/root" -S "$version" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
    done | awk '!seen[$0]++' | while read -r path; do
        cp "$path" "$staging/modules/"
        basename "$path" >>"$staging/modules.list"
    done
    (cd "$staging" && find . | busybox cpio -o -H newc 2>/dev/null) >"$initrd"
    rm -rf "$staging"
fi

out=$lab/out
rm -rf "$out"
mkdir -p "$out"
cat >"$out/request" <<REQUEST
export LAB_SOURCE='$source_dir' LAB_BUILD='$build' LAB_MODULES='$modules'
export LAB_TESTS='${tests[*]}' LAB_SHELL=$shell
REQUEST

# -icount keeps the host's scheduling out of the machine's clock: a busy host would otherwise
# make a new virtual controller miss the kernel's 2-second reset deadline.
qemu=(qemu-system-x86_64 -machine q35 -accel tcg -icount shift=2,sleep=on -m 1024 -smp 1
      -nographic -no-reboot -nic none -kernel "$kernel/vmlinux" -initrd "$initrd"
      -append "console=ttyS0 quiet panic=-1 cryptomgr.notests"
      -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap
      -virtfs "local,path=$out,mount_tag=labout,security_model=none")
start=$(date +%s)
if [ "$shell" = 1 ]; then
    "${qemu[@]}"
    exit 0
fi
# Bounded: a machine that hangs is stopped and the stage fails.
status=0
timeout 1200 "${qemu[@]}" </dev/null 2>&1 | tee "$out/console.log" || status=$?
echo "lab: the machine ran $(($(date +%s) - start)) s"
[ "$status" -eq 0 ] || fail "QEMU ended with status $status (time-out after 1200 s: 124)"
[ -f "$out/setup.ok" ] || fail "the stacks were not set up; see $out/setup.log"
# QEMU ends with status 0 also when the machine stops early (a kernel panic, the end of its first
# process): a test without a result line did not finish, and fails the run.
failed=0
for name in "${tests[@]}"; do
    result=$(awk -v name="$name" '$1 == name { r = $2 } END { print r }' "$out/results" 2>/dev/null)
    if [ -z "$result" ]; then
        echo "lab: $name: NO RESULT: the machine stopped before the test reported; see $out/console.log"
        failed=1
    elif [ "$result" = 0 ]; then
        echo "lab: $name: passed"
    else
        echo "lab: $name: FAILED ($result), log $out/$name.log"
        failed=1
    fi
done
if [ "$failed" = 1 ] && panic=$(grep -a -m1 'Kernel panic' "$out/console.log"); then
    echo "lab: the machine's console: $panic"
fi
exit $failed
