#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it without touching
# the machine: the files are where a Debian system looks for them, every
# dependency is a Debian package name that apt can resolve here, and the
# console program runs from the unpacked package.
#
#   package_test.sh --build DIR --work DIR
#
# Exit status 0 when every check passes, 1 when one fails, 77 when dpkg or
# apt are missing.
set -euo pipefail

build= work=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "package_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
for tool in cpack dpkg-deb apt-get; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
done
work=$(realpath -m "$work")
rm -rf "$work"
mkdir -p "$work"

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/*.deb)
echo "package: $(basename "$deb")"

failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
has() { grep -qx "$1" <<<"$contents"; }
for program in korrin-hid korrin-hid-console; do
  check "installs /usr/bin/$program" has "./usr/bin/$program"
done
check "installs the udev rule where udevd reads it" has ./usr/lib/udev/rules.d/70-korrin-hid.rules
if [ -x "$build/src/demo/korrin-hid-demo" ]; then
  check "installs /usr/bin/korrin-hid-demo" has ./usr/bin/korrin-hid-demo
fi
# The desktop files come with the window program when they exist.
if [ -d "$build/packaging/desktop" ]; then
  check "installs a desktop entry" grep -qE '^\./usr/share/applications/.+\.desktop$' <<<"$contents"
  check "installs the AppStream metainfo" grep -qE '^\./usr/share/metainfo/.+\.metainfo\.xml$' <<<"$contents"
  check "installs the icon" grep -qE '^\./usr/share/icons/hicolor/[0-9]+x[0-9]+/apps/korrin-hid\.png$' <<<"$contents"
fi

depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
for needed in libhidapi-hidraw0 libudev1 libqt6core6 libstdc++6 libc6; do
  check "depends on $needed" grep -qxF "$needed" <<<"$names"
done
# Every name resolves to a package apt knows (simulated install: nothing
# changes on this machine).
apt_resolves() { apt-get install -s "$deb" >"$work/apt.log" 2>&1 && grep -q '^Inst korrin-hid ' "$work/apt.log"; }
check "apt can satisfy every dependency" apt_resolves
grep -q '^Inst korrin-hid ' "$work/apt.log" || cat "$work/apt.log"

mkdir -p "$work/root"
dpkg-deb -x "$deb" "$work/root"
help=$("$work/root/usr/bin/korrin-hid-console" --help 2>&1) && help_status=0 || help_status=$?
check "korrin-hid-console --help runs from the package" [ "$help_status" = 0 ]
check "its help names the count option and the exit status" grep -q -- '--count N' <<<"$help"
check "the packaged programs are stripped" sh -c "! file '$work/root/usr/bin/korrin-hid-console' | grep -q 'not stripped'"

[ $failures -eq 0 ] || { echo "package_test: $failures check(s) failed" >&2; exit 1; }
