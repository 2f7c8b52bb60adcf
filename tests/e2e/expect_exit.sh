#!/usr/bin/env bash
# Runs a program and checks how it ends:
#   expect_exit.sh STATUS [--stdout REGEX] [--stderr REGEX] [--empty-stdout] [--signal SIG] -- PROGRAM [ARG]...
# --signal sends SIG once the program has blocked SIGINT and SIGTERM (read
# from /proc, so the signal cannot land before the program is ready for it).
set -uo pipefail
expected=$1; shift
stdout_re= stderr_re= empty_stdout=0 signal=
while [ "$1" != -- ]; do
  case $1 in
    --stdout) stdout_re=$2; shift 2 ;;
    --stderr) stderr_re=$2; shift 2 ;;
    --empty-stdout) empty_stdout=1; shift ;;
    --signal) signal=$2; shift 2 ;;
    *) echo "expect_exit: unknown argument $1" >&2; exit 2 ;;
  esac
done
shift
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" >"$out" 2>"$err" </dev/null &
pid=$!
if [ -n "$signal" ]; then
  # SIGINT is bit 2, SIGTERM bit 15 of the blocked mask: 0x4002.
  for _ in $(seq 1 500); do
    mask=$(awk '/^SigBlk:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || break
    [ -n "$mask" ] && (( (16#$mask & 0x4002) == 0x4002 )) && break
    sleep 0.01
  done
  kill "-$signal" "$pid"
fi
wait "$pid"
status=$?
fail=0
[ "$status" = "$expected" ] || { echo "exit status $status, expected $expected"; fail=1; }
if [ -n "$stdout_re" ] && ! grep -qE -- "$stdout_re" "$out"; then echo "stdout does not match: $stdout_re"; fail=1; fi
if [ -n "$stderr_re" ] && ! grep -qE -- "$stderr_re" "$err"; then echo "stderr does not match: $stderr_re"; fail=1; fi
if [ $empty_stdout = 1 ] && [ -s "$out" ]; then echo "stdout is not empty"; fail=1; fi
if [ $fail = 1 ]; then
  echo "--- stdout"; cat "$out"; echo "--- stderr"; cat "$err"
fi
exit $fail
