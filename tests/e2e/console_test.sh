#!/usr/bin/env bash
# korrin-hid-console against the simulated bootloader on a real kernel HID
# device, checked here on the host: the whole log of a typical update line
# for line, a good CRC verdict, the bytes the device received equal to the
# image's payload; and a run in which the device is pulled out in the middle
# of the transfer, which the program survives, logs, and ends with status 1;
# one whose device refuses the image at the CRC check (status 1 too); and
# one that SIGTERM ends in the middle of a transfer, between two whole reports.
#
#   console_test.sh --cache DIR --work DIR --console PATH --sim PATH --make-image PATH
#
# Exit status: 0 when every check passes, 1 when one fails, 77 when the
# guest cannot be booted here (run-in-guest.sh says why).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

cache= work= console= sim= make_image=
while [ $# -gt 0 ]; do
  case $1 in
    --cache) cache=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --console) console=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --make-image) make_image=$2; shift 2 ;;
    *) echo "console_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
work=$(realpath -m "$work")
rm -rf "$work"
mkdir -p "$work/sections"

# 62 blocks of 4032 bytes and a short last one.
payload_bytes=250000
image="$work/fw_v1_2.bin"
"$make_image" "$image" --payload-bytes "$payload_bytes" --version 1.2 --seed 7 >/dev/null
tail -c +197 "$image" >"$work/expected-payload"
# Long enough under emulation (some 500 blocks) for a signal to land inside.
large_image="$work/fw_v1_3.bin"
"$make_image" "$large_image" --payload-bytes 2000000 --version 1.3 --seed 8 >/dev/null
tail -c +197 "$large_image" >"$work/expected-large-payload"

start=$(date +%s%3N)
set +e
"$here/run-in-guest.sh" --cache "$cache" --work "$work/guest" \
  --include "$console" --include "$sim" --include "$image" --include "$large_image" \
  --include "$here/guest/console_runs.sh" \
  -- sh "$here/guest/console_runs.sh" "$console" "$sim" "$image" "$large_image" >"$work/results"
status=$?
set -e
elapsed=$(( $(date +%s%3N) - start ))
[ $status -eq 77 ] && exit 77

# Split the guest's output into its sections.
awk -v dir="$work/sections" '
  /^=== / { name = substr($0, 5); file = dir "/" name; printf "" > file; next }
  file != "" { print >> file }
' "$work/results"

failures=0
check() {  # DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
section() { cat "$work/sections/$1" 2>/dev/null || true; }
has_section() { [ -f "$work/sections/$1" ]; }
show_on_failure() {
  if [ $failures -gt 0 ]; then
    for s in "$@"; do echo "--- $s"; section "$s"; done
  fi
}

check "the guest ran every run to the end" has_section end

# ---- the complete run
stars="**********************************************"
cat >"$work/expected-log" <<EOF
$stars
The device has been attached.
Vantorel Systems product detected
Bootloader Version: 2.0
Firmware Version: 1.0
Update firmware successfully
CRC check OK
Current Firmware Version: 1.2
The device has been removed.
$stars
EOF
check "complete run: the whole log, line for line" diff -u "$work/expected-log" <(section complete.log)
check "complete run: exit status 0 (every update ended with CRC check OK)" [ "$(section complete.status)" = 0 ]
check "complete run: the device's own verdict was good, with no protocol error" \
  grep -q 'verdicts=ok protocol_errors=0 ' <(section complete.sim)
section complete.payload-base64 | base64 -d >"$work/complete-payload" 2>/dev/null || true
check "complete run: the device received exactly the image's payload" cmp "$work/expected-payload" "$work/complete-payload"
check "complete run: nothing on standard error" [ -z "$(section complete.console-stderr)" ]
show_on_failure complete.log complete.status complete.console-stderr complete.sim

# ---- the device pulled out at its 10th data frame
before=$failures
mapfile -t lines < <(section unplugged.log)
attach_ok_lines() {  # MIN-LINES: the log has them and begins with the attach
  [ "${#lines[@]}" -ge "$1" ] && [ "${lines[0]}" = "$stars" ] && [ "${lines[1]}" = "The device has been attached." ] &&
    [ "${lines[2]}" = "Vantorel Systems product detected" ] && [ "${lines[3]}" = "Bootloader Version: 2.0" ] &&
    [ "${lines[4]}" = "Firmware Version: 1.0" ]
}
attach_ok() { attach_ok_lines 7; }
removal_last() {
  local n=${#lines[@]}
  [ "$n" -ge 2 ] && [ "${lines[n - 2]}" = "The device has been removed." ] && [ "${lines[n - 1]}" = "$stars" ]
}
nothing_else_between() {
  local i
  for ((i = 5; i < ${#lines[@]} - 2; i++)); do [ "${lines[i]}" = "Update firmware failed" ] || return 1; done
}
check "unplugged run: the attach is logged as usual" attach_ok
check "unplugged run: the removal is logged, and the log ends there" removal_last
check "unplugged run: no success and no verdict in between" nothing_else_between
check "unplugged run: exit status 1 (the update did not end with CRC check OK)" [ "$(section unplugged.status)" = 1 ]
check "unplugged run: the device saw 9 whole data frames" grep -q 'data_frames=9 ' <(section unplugged.sim)
section unplugged.payload-base64 | base64 -d >"$work/unplugged-payload" 2>/dev/null || true
check "unplugged run: what it received is the image's first 9 blocks" \
  cmp "$work/unplugged-payload" <(head -c $((9 * 4032)) "$work/expected-payload")
[ $failures -eq $before ] || { for s in unplugged.log unplugged.status unplugged.console-stderr unplugged.sim; do echo "--- $s"; section "$s"; done; }

# ---- the device refuses the image at the CRC check
before=$failures
sed -e 's/^CRC check OK$/CRC check failed/' -e 's/^Current Firmware Version: 1.2$/Current Firmware Version: 1.0/' \
  "$work/expected-log" >"$work/expected-refused-log"
check "refused run: the whole log, line for line" diff -u "$work/expected-refused-log" <(section refused.log)
check "refused run: exit status 1 (the update did not end with CRC check OK)" [ "$(section refused.status)" = 1 ]
check "refused run: the device's verdict was the failed one" grep -q 'verdicts=failed protocol_errors=0 ' <(section refused.sim)
[ $failures -eq $before ] || { for s in refused.log refused.status refused.console-stderr refused.sim; do echo "--- $s"; section "$s"; done; }

# ---- SIGTERM in the middle of the transfer
before=$failures
mapfile -t lines < <(section interrupted.log)
only_attach() { attach_ok_lines 5 && [ "${#lines[@]}" -eq 5 ]; }
check "interrupted run: the log ends with the attach (the dialog ended, nothing after)" only_attach
check "interrupted run: exit status 1 (interrupted before a verdict)" [ "$(section interrupted.status)" = 1 ]
frames=$(section interrupted.sim | grep -o 'data_frames=[0-9]*' | cut -d= -f2 || true)
total_frames=$(( (2000000 + 4031) / 4032 ))
check "interrupted run: the transfer stopped part way (${frames:-?} of $total_frames data frames)" \
  [ -n "$frames" ] && [ "${frames:-0}" -gt 0 ] && [ "${frames:-0}" -lt "$total_frames" ]
check "interrupted run: every report the device got was whole and well-formed" \
  grep -q 'protocol_errors=0 ' <(section interrupted.sim)
section interrupted.payload-base64 | base64 -d >"$work/interrupted-payload" 2>/dev/null || true
check "interrupted run: what it received is the image's first blocks, unbroken" \
  cmp "$work/interrupted-payload" <(head -c $(( ${frames:-0} * 4032 )) "$work/expected-large-payload")
check "interrupted run: nothing on standard error" [ -z "$(section interrupted.console-stderr)" ]
[ $failures -eq $before ] || { for s in interrupted.log interrupted.status interrupted.console-stderr interrupted.sim; do echo "--- $s"; section "$s"; done; }

first=$(section complete.sim | grep -o 'first_report_ms=[0-9-]*' | cut -d= -f2 || true)
echo "measure: device appearing to its first frame ${first:-?} ms (under emulation); whole test ${elapsed} ms"
if [ $failures -gt 0 ]; then
  echo "console_test: $failures check(s) failed; guest output in $work/results" >&2
  exit 1
fi
