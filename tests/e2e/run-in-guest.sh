#!/usr/bin/env bash
# Runs a command inside Debian's own kernel, booted under qemu with uhid,
# hidraw and hid-generic loaded, and exits with the command's status.
#
#   run-in-guest.sh --cache DIR --work DIR [--include FILE]... [--timeout S]
#                   [--memory MB] -- COMMAND [ARG]...
#
# --cache DIR   where the kernel package is fetched and unpacked (reused)
# --work DIR    this run's initramfs, kernel log and results
# --include F   a program (with every library ldd names) or a data file to
#               put into the guest at the same path; repeatable
# COMMAND       runs as root in the guest with its output on the guest's
#               second serial port, which lands in WORK/results and is
#               copied to standard output here
#
# Exit status: the command's, 1 when the guest did not report one, 77 when
# qemu or the kernel package cannot be had (with the reason on stderr).
set -euo pipefail

cache= work= timeout_s=300 memory=512
includes=()
while [ $# -gt 0 ]; do
  case $1 in
    --cache) cache=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --include) includes+=("$2"); shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run-in-guest: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$cache" ] || [ -z "$work" ] || [ $# -eq 0 ]; then
  echo "usage: run-in-guest.sh --cache DIR --work DIR [--include FILE]... -- COMMAND [ARG]..." >&2
  exit 2
fi

cache=$(realpath -m "$cache")
work=$(realpath -m "$work")

skip() { echo "SKIP: $*" >&2; exit 77; }
now_ms() { date +%s%3N; }
t_start=$(now_ms)

for tool in qemu-system-x86_64 busybox cpio dpkg-deb xz depmod apt-get timeout flock; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
done
busybox_bin=$(command -v busybox)
if ! file -L "$busybox_bin" 2>/dev/null | grep -q 'statically linked'; then
  # A dynamic busybox would need its libraries too; the static one does not.
  [ -x /bin/busybox ] && file -L /bin/busybox | grep -q 'statically linked' && busybox_bin=/bin/busybox \
    || skip "busybox is not statically linked (install busybox-static)"
fi

# ---------------------------------------------------------------- kernel
# The package that linux-image-amd64 depends on is the current kernel. Only
# the kernel image and the HID modules are unpacked; depmod then says what
# each module needs, so they can be loaded in order with insmod (nothing
# autoloads modules without udev).
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ ! -f "$cache/ready" ]; then
  rm -rf "$cache/unpacked" "$cache/modules" "$cache"/*.deb
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  [ -n "$package" ] || skip "cannot tell which kernel package linux-image-amd64 depends on (apt-get update?)"
  echo "run-in-guest: fetching $package" >&2
  (cd "$cache" && apt-get download "$package" >/dev/null 2>"$cache/download.log") \
    || skip "cannot download $package: $(tail -n 1 "$cache/download.log")"
  deb=$(ls "$cache"/*.deb | head -n 1)
  mkdir -p "$cache/unpacked"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$cache/unpacked" --wildcards \
    './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/hid/*' \
    './lib/modules/*/modules.order' './lib/modules/*/modules.builtin' './lib/modules/*/modules.builtin.modinfo'
  version=$(ls "$cache/unpacked/lib/modules" | head -n 1)
  depmod -b "$cache/unpacked" "$version"
  mkdir -p "$cache/modules"
  dep="$cache/unpacked/lib/modules/$version/modules.dep"
  order=()
  add_module() {  # dependencies first, each once
    local rel=$1 line needs n
    for n in "${order[@]}"; do [ "$n" = "$rel" ] && return 0; done
    line=$(grep -E "^${rel//./\\.}:" "$dep") || { echo "run-in-guest: $rel not in modules.dep" >&2; exit 1; }
    needs=${line#*:}
    for n in $needs; do add_module "$n"; done
    order+=("$rel")
  }
  for m in hid uhid hid-generic; do
    rel=$(grep -oE "^kernel/drivers/hid/$m\.ko(\.xz|\.zst)?:" "$dep" | head -n 1 | tr -d :)
    [ -n "$rel" ] || skip "the kernel package has no $m module"
    add_module "$rel"
  done
  : >"$cache/modules/load-order"
  for rel in "${order[@]}"; do
    name=$(basename "$rel")
    case $name in
      *.xz) xz -dc "$cache/unpacked/lib/modules/$version/$rel" >"$cache/modules/${name%.xz}"; name=${name%.xz} ;;
      *.zst) zstd -dqc "$cache/unpacked/lib/modules/$version/$rel" >"$cache/modules/${name%.zst}"; name=${name%.zst} ;;
      *) cp "$cache/unpacked/lib/modules/$version/$rel" "$cache/modules/$name" ;;
    esac
    echo "$name" >>"$cache/modules/load-order"
  done
  cp "$cache/unpacked/boot/vmlinuz-$version" "$cache/vmlinuz"
  # The uncompressed kernel, booted directly (PVH), skips the decompression
  # that is slow under emulation. It is the payload after the XZ magic.
  offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$cache/vmlinuz" | head -n 1 | cut -d: -f1 || true)
  rm -f "$cache/vmlinux"
  if [ -n "$offset" ]; then
    # xz stops after the first stream, so tail may die of SIGPIPE: judge the
    # result, not the pipeline.
    tail -c +$((offset + 1)) "$cache/vmlinuz" | xz -dc --single-stream >"$cache/vmlinux.part" 2>/dev/null || true
    if file "$cache/vmlinux.part" | grep -q 'ELF 64-bit'; then mv "$cache/vmlinux.part" "$cache/vmlinux"; fi
  fi
  rm -f "$cache/vmlinux.part"
  echo "$version" >"$cache/version"
  rm -rf "$cache/unpacked" "$deb"
  touch "$cache/ready"
fi
flock -u 9
t_kernel=$(now_ms)

# ---------------------------------------------------------------- initramfs
rm -rf "$work"
root="$work/root"
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,run,tmp,korrin/modules}
cp "$busybox_bin" "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
cp "$cache/modules/"*.ko "$cache/modules/load-order" "$root/korrin/modules/"

copy_with_libraries() {
  local file=$1 lib
  mkdir -p "$root$(dirname "$file")"
  cp -L "$file" "$root$file"
  if file -L "$file" | grep -q 'dynamically linked'; then
    for lib in $(ldd "$file" | awk '/=> \// {print $3} /^\t\/[^ ]+ \(/ {print $1}'); do
      [ -e "$root$lib" ] && continue
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    done
  fi
}
# chrt is not among the static busybox's applets; the devices run under it.
if command -v chrt >/dev/null; then copy_with_libraries "$(command -v chrt)"; fi
for f in "${includes[@]}"; do
  [ -e "$f" ] || { echo "run-in-guest: $f does not exist" >&2; exit 1; }
  named=$(realpath -s "$f") real=$(realpath "$f")
  copy_with_libraries "$real"
  # Reachable under the name it was given, too.
  if [ "$named" != "$real" ]; then mkdir -p "$root$(dirname "$named")"; ln -sf "$real" "$root$named"; fi
done

quoted=
for arg in "$@"; do quoted+=" '${arg//\'/\'\\\'\'}'"; done
cat >"$root/init" <<EOF
#!/bin/sh
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
stty -F /dev/ttyS1 raw -echo
exec 3>/dev/ttyS1
for m in \$(cat /korrin/modules/load-order); do
  insmod /korrin/modules/\$m || echo "run-in-guest: insmod \$m failed" >&3
done
cd /tmp
echo "KORRIN-GUEST-BEGIN \$(cut -d' ' -f1 /proc/uptime)" >&3
$quoted >&3 2>&3
status=\$?
echo "KORRIN-GUEST-STATUS \$status \$(cut -d' ' -f1 /proc/uptime)" >&3
poweroff -f
EOF
chmod +x "$root/init"
# Uncompressed: the guest's gunzip is slow under emulation.
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
t_initramfs=$(now_ms)

# ---------------------------------------------------------------- boot
kernel="$cache/vmlinuz"
[ -f "$cache/vmlinux" ] && kernel="$cache/vmlinux"
: >"$work/results"
set +e
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -cpu max -m "$memory" -smp 1 \
  -display none -monitor none -no-reboot -net none \
  -kernel "$kernel" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 loglevel=4" \
  -serial "file:$work/kernel.log" -serial "file:$work/results" </dev/null
qemu_status=$?
set -e
t_end=$(now_ms)

tr -d '\r' <"$work/results" | grep -v '^KORRIN-GUEST-' || true
status_line=$(tr -d '\r' <"$work/results" | grep '^KORRIN-GUEST-STATUS ' | tail -n 1 || true)
begin_line=$(tr -d '\r' <"$work/results" | grep '^KORRIN-GUEST-BEGIN ' | tail -n 1 || true)
echo "run-in-guest: kernel $(cat "$cache/version") ($(basename "$kernel")); kernel cache $((t_kernel - t_start)) ms," \
     "initramfs $((t_initramfs - t_kernel)) ms, qemu $((t_end - t_initramfs)) ms" \
     "(guest uptime at start ${begin_line##* } s, at end ${status_line##* } s)" >&2
if [ -z "$status_line" ]; then
  echo "run-in-guest: the guest reported no status (qemu exit $qemu_status); kernel log:" >&2
  tail -n 40 "$work/kernel.log" >&2
  exit 1
fi
set -- $status_line
exit "$2"
