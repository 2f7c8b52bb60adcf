#!/bin/sh
# Inside the guest: korrin-hid-console against korrin-sim-uhid, four times.
#   console_runs.sh CONSOLE SIM IMAGE LARGE-IMAGE
# complete     the device is programmed, then unplugs itself once it has
#              answered the last version request
# unplugged    the device goes when the 10th data frame arrives
# refused      the device takes the whole image and answers the CRC check
#              with a failed verdict
# interrupted  SIGTERM reaches the program while it sends the large image
# Everything the host checks is written here in sections: "=== NAME" then
# the section's lines.
console=$1 sim=$2 image=$3 large_image=$4

run() {  # NAME IMAGE interrupt|wait CONSOLE-ARGS -- SIM-ARGS
  name=$1 run_image=$2 mode=$3
  shift 3
  dir=/tmp/$name
  mkdir -p "$dir"
  cargs=
  while [ "$1" != -- ]; do cargs="$cargs $1"; shift; done
  shift
  # The program is waiting when the device comes, as on a production line.
  timeout 120 "$console" "$run_image" $cargs >"$dir/log" 2>"$dir/console.err" &
  cpid=$!
  sleep 0.3
  chrt -f 50 "$sim" --payload "$dir/payload" "$@" >"$dir/sim.out" 2>"$dir/sim.err" &
  spid=$!
  if [ "$mode" = interrupt ]; then
    # Once the device has the first data frame, the transfer is under way.
    i=0
    while ! grep -q '^receiving$' "$dir/sim.out" && [ $i -lt 1200 ]; do sleep 0.05; i=$((i + 1)); done
    sleep 0.1
    kill -TERM $cpid
  fi
  wait $cpid
  cstatus=$?
  # Runs whose device stays plugged in end it here.
  kill -TERM $spid 2>/dev/null
  wait $spid
  echo "=== $name.log"; cat "$dir/log"
  echo "=== $name.status"; echo "$cstatus"
  echo "=== $name.console-stderr"; cat "$dir/console.err"
  echo "=== $name.sim"; cat "$dir/sim.out" "$dir/sim.err"
  echo "=== $name.payload-base64"; base64 "$dir/payload"
}

device="--bootloader 2.0 --firmware 1.0"
run complete "$image" wait --count 1 -- $device --unplug-after-update 1000
run unplugged "$image" wait --count 1 -- $device --unplug-at-data 10
run refused "$image" wait --count 1 -- $device --negative-verdict --unplug-after-update 1000
run interrupted "$large_image" interrupt -- $device
echo "=== end"
