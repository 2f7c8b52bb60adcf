#!/bin/sh
# Inside the guest: korrin-hid-console against korrin-sim-uhid, three times.
#   console_runs.sh CONSOLE SIM IMAGE
# Run "complete": the device is programmed, then unplugs itself once it has
# answered the last version request. Run "unplugged": the device goes when
# the 10th data frame arrives. Run "refused": the device takes the whole
# image and answers the CRC check with a failed verdict. Everything the host checks is written here
# in sections: "=== NAME" then the section's lines.
console=$1 sim=$2 image=$3

run() {  # NAME CONSOLE-ARGS -- SIM-ARGS
  name=$1; shift
  dir=/tmp/$name
  mkdir -p "$dir"
  cargs=
  while [ "$1" != -- ]; do cargs="$cargs $1"; shift; done
  shift
  # The program is waiting when the device comes, as on a production line.
  timeout 120 "$console" "$image" $cargs >"$dir/log" 2>"$dir/console.err" &
  cpid=$!
  sleep 0.3
  chrt -f 50 "$sim" --payload "$dir/payload" "$@" >"$dir/sim.out" 2>"$dir/sim.err" &
  spid=$!
  wait $cpid
  cstatus=$?
  # The device of the complete run is gone by now; stop any that is not.
  kill -TERM $spid 2>/dev/null
  wait $spid
  echo "=== $name.log"; cat "$dir/log"
  echo "=== $name.status"; echo "$cstatus"
  echo "=== $name.console-stderr"; cat "$dir/console.err"
  echo "=== $name.sim"; cat "$dir/sim.out" "$dir/sim.err"
  echo "=== $name.payload-base64"; base64 "$dir/payload"
}

run complete --count 1 -- --bootloader 2.0 --firmware 1.0 --unplug-after-update 1000
run unplugged --count 1 -- --bootloader 2.0 --firmware 1.0 --unplug-at-data 10
run refused --count 1 -- --bootloader 2.0 --firmware 1.0 --negative-verdict --unplug-after-update 1000
echo "=== end"
