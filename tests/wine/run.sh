#!/usr/bin/env bash
# Wine stage: runs the Windows plug-in end to end in a fresh prefix, with the test host, the
# SetupAPI / FTDI / Rop.dll doubles and the native simulated monitor behind a COM port linked
# to its pseudo-terminal. The shipped 32-bit build runs where this machine can run 32-bit
# Wine; where its kernel runs no 32-bit code, the same stage runs the 64-bit build under
# 64-bit Wine. The 32-bit DLL's static PE check runs either way.
#
# Usage: tests/wine/run.sh WIN32_BUILD_DIR NATIVE_BUILD_DIR [WIN64_BUILD_DIR]
#        tests/wine/run.sh --probe   (exit 0 when 32-bit Wine runs here; the reason otherwise)
# Prints every check and finally "N passed, N failed" over all of them; exit 1 on failure.
# VYRA_WINE_FORCE64=1 takes the 64-bit path even where 32-bit Wine runs.
# VYRA_WINE_KEEP=1 keeps the temporary folder (prefix, logs) for inspection.
# VYRA_WINE_IDLE_S / VYRA_WINE_STREAM_S / VYRA_WINE_SAMPLES / VYRA_WINE_CYCLES shorten the
# long runs locally.
set -uo pipefail

wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64

# Tries the 32-bit loader itself: a kernel without IA-32 emulation refuses to execute it.
probe_wine32() {
  if [ "${VYRA_WINE_FORCE64:-0}" = 1 ]; then
    echo "forced by VYRA_WINE_FORCE64=1"
    return 1
  fi
  [ -x "$wine32_loader" ] || { echo "32-bit Wine is not installed"; return 1; }
  local out
  # bash's exec reports the kernel's refusal as such instead of reading the file as a script.
  if ! out=$(timeout 60 bash -c 'exec "$0" --version' "$wine32_loader" 2>&1); then
    case "$out" in
      *"Exec format error"*) echo "this kernel runs no 32-bit code" ;;
      *) echo "32-bit Wine does not start: $(head -n 1 <<<"$out")" ;;
    esac
    return 1
  fi
}

if [ "${1:-}" = "--probe" ]; then
  probe_wine32
  exit
fi
if [ $# -ne 2 ] && [ $# -ne 3 ]; then
  echo "usage: $0 WIN32_BUILD_DIR NATIVE_BUILD_DIR [WIN64_BUILD_DIR] | --probe" >&2
  exit 2
fi
win32=$(realpath "$1")
native=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
stage_start=$(date +%s)

idle_s=${VYRA_WINE_IDLE_S:-60}
stream_s=${VYRA_WINE_STREAM_S:-60}
samples=${VYRA_WINE_SAMPLES:-20000}
cycles=${VYRA_WINE_CYCLES:-1000}

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   $*"; }
fail() { failed=$((failed + 1)); echo "FAIL $*"; }
finish() {
  echo "== Wine stage ($width-bit) took $(( $(date +%s) - stage_start )) s"
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ] && exit 0 || exit 1
}

if why=$(probe_wine32); then
  width=32
  winbuild=$win32
  wine=$wine32_loader
  echo "== Wine stage, 32-bit: the shipped build"
else
  width=64
  echo "== Wine stage, 64-bit fallback: $why"
  [ $# = 3 ] || { fail "no 64-bit Windows build given for the fallback"; finish; }
  winbuild=$(realpath "$3")
  wine=$wine64_loader
  export WINELOADER=$wine64_loader
fi

pe32="$win32/VYRA(8u).vmcdll"
plugin="$winbuild/VYRA(8u).vmcdll"
host="$winbuild/tests/wine/wine_host.exe"
doubles=("$winbuild/tests/wine/setupapi.dll" "$winbuild/tests/wine/Rop.dll")
ftd2xx="$winbuild/tests/wine/ftd2xx.dll"
sim=$(find "$native" -type f -name vyra-sim -perm -u+x 2>/dev/null | head -n 1)
for f in "$pe32" "$plugin" "$host" "${doubles[@]}" "$ftd2xx"; do
  [ -f "$f" ] || { fail "missing build output $f"; finish; }
done
[ -n "$sim" ] || { fail "no vyra-sim under $native (ninja -C $native vyra-sim)"; finish; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vyra-wine.XXXXXX")
export WINEPREFIX="$work/prefix" WINEARCH=win$width WINEDEBUG=-all
# The prefix is set up with Wine's own SetupAPI; only the test host gets the double.
export WINEDLLOVERRIDES="mscoree,mshtml="
host_overrides="mscoree,mshtml=;setupapi=n"
export VYRA_NO_MSGBOX=1
unset DISPLAY WAYLAND_DISPLAY

sim_pid=""
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=""
  fi
}
cleanup() {
  stop_sim
  [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
  if [ "${VYRA_WINE_KEEP:-0}" = 1 ]; then
    echo "kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== fresh $width-bit prefix in $WINEPREFIX"
if timeout 300 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 && timeout 60 wineserver -w; then
  pass "wineboot -i created the prefix"
else
  fail "wineboot -i failed (see output below)"
  tail -n 20 "$work/wineboot.log"
  finish
fi

app="$WINEPREFIX/drive_c/vyra"
system32="$WINEPREFIX/drive_c/windows/system32"
mkdir -p "$app"
cp "$plugin" "$host" "${doubles[@]}" "$app/"
cp "$ftd2xx" "$system32/"

key='HKLM\System\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+BVLVYRA0042A\0000\Device Parameters'
if timeout 60 "$wine" reg add "$key" /v PortName /t REG_SZ /d COM5 /f >"$work/reg.log" 2>&1; then
  pass "registry PortName COM5 written"
else
  fail "wine reg add failed: $(tr -d '\r' <"$work/reg.log")"
fi

export VYRA_SETUPAPI_DEVICES='FTDIBUS\VID_0403+PID_6001+BVLVYRA0042A\0000|\\.\BVLVYRA0042'
export VYRA_FTDI_DEVICES='BVLVYRA0042=5'

# Starts the simulator with the given options and links COM5 and \\.\BVLVYRA0042 to it.
start_sim() {
  stop_sim
  : >"$work/sim.out"
  "$sim" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  local slave="" i
  for i in $(seq 100); do
    slave=$(head -n 1 "$work/sim.out")
    [ -n "$slave" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$slave" ] || [ ! -e "$slave" ]; then
    fail "vyra-sim $* did not print its pseudo-terminal: $(cat "$work/sim.err")"
    sim_pid=""
    return 1
  fi
  ln -sfn "$slave" "$WINEPREFIX/dosdevices/com5"
  ln -sfn "$slave" "$WINEPREFIX/dosdevices/bvlvyra0042"
  echo "   vyra-sim $* on $slave"
}

# Extra environment for the next host run (NAME=VALUE words).
host_env=()

# Runs one host scenario; its checks join the totals. A scenario that ends without its
# summary line (crash, time-out) counts as one failure.
run_host() {
  local name=$1 limit=$2
  shift 2
  local out="$work/$name.out"
  : >"$out"
  echo "== scenario $name: wine_host.exe $*"
  export VYRA_ROP_LOG="C:\\vyra\\rop-$name.log" VYRA_FTDI_TRACE="C:\\vyra\\ftdi-$name.log"
  local t0=$(date +%s)
  (cd "$app" && env WINEDLLOVERRIDES="$host_overrides" "${host_env[@]}" timeout -k 10 "$limit" "$wine" wine_host.exe "$@") \
    2>"$work/$name.err" | sed -u 's/\r$//' | tee "$out" |
    sed 's/^/   /'
  local rc=${PIPESTATUS[0]}
  local summary
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$out" | tail -n 1)
  if [ -z "$summary" ]; then
    fail "scenario $name ended without a summary (exit $rc$([ "$rc" = 124 ] && echo ", timed out after ${limit} s"))"
    tail -n 5 "$work/$name.err" | sed 's/^/   stderr: /'
    return
  fi
  local p f
  read -r p _ f _ <<<"$summary"
  passed=$((passed + p))
  failed=$((failed + f))
  if [ "$rc" != 0 ] && [ "$f" = 0 ]; then fail "scenario $name exited with $rc"; fi
  echo "   ($name: $summary, $(( $(date +%s) - t0 )) s)"
}

# 1. Discovery, handshake, queries, a fast stream checked for gaps, cycle comments, log.
if start_sim --profile branded --rates 0.001,0.005,0.01,0.02,0.05,0.1,EndOfCycle --rate 3 --bps 0 \
  --first-cycle-ms 1500 --cycle-ms 4000; then
  run_host full 240 full "$samples" 1000
  stop_sim
  echo "   $(cat "$work/sim.err")"
fi

# 2. No FTDI library in system32.
mv "$system32/ftd2xx.dll" "$work/ftd2xx.dll.away"
run_host nodriver 60 nodriver
mv "$work/ftd2xx.dll.away" "$system32/ftd2xx.dll"

# 3. Idle, then a stream, both watched for failures; idle CPU measured.
if start_sim --profile branded; then
  run_host robust $((idle_s + stream_s + 90)) robust "$idle_s" "$stream_s"
  stop_sim
fi

# 4a. The monitor hangs up by itself after 300 sample lines.
# Without cuff cycles data flows steadily, so the last data marks the hang-up.
if start_sim --profile branded --no-cycles --fault hangup --fault-after 300; then
  run_host hangup 90 hangup 300
  stop_sim
fi

# 4b. The monitor's process is killed mid-stream.
if start_sim --profile branded --no-cycles; then
  victim=$sim_pid
  # Killed three seconds into the stream.
  (for _ in $(seq 600); do
     grep -q 'command 37 starts sampling' "$work/killed.out" 2>/dev/null && break
     sleep 0.1
   done
   sleep 3
   kill -KILL "$victim" 2>/dev/null) &
  killer=$!
  # (the shell's "Killed" notice for the simulator is expected noise)
  { run_host killed 90 hangup; wait "$killer"; wait "$victim"; } 2>/dev/null
  sim_pid=""
fi

# 5. A user whose decimal separator is ','. Wine takes the user's locale from LC_ALL even
# where the system lacks that glibc locale (LANG alone is then not enough).
if start_sim --profile branded --no-cycles --extra-channel "TrigFl:L/s:0.80:-0.80"; then
  host_env=(LC_ALL=de_DE.UTF-8)
  run_host locale 60 locale
  host_env=()
  stop_sim
fi

# 6. The host unloads the plug-in, or ends, while sampling and without CloseAll: either way
# the monitor is told to stop. The plain unload comes after find/initialise/CloseAll cycles
# with another thread's handles coming and going; the second one comes while the reader is
# inside the host's comment call (cuff cycles on).
for scenario in "unload cycles $cycles" "unload callback" exit; do
  read -r -a words <<<"$scenario"
  name=${words[0]}${words[1]:+-${words[1]}}
  sim_options=(--profile branded --no-cycles --verbose)
  [ "${words[1]:-}" = callback ] && sim_options=(--profile branded --first-cycle-ms 300 --verbose)
  if start_sim "${sim_options[@]}"; then
    run_host "$name" $((90 + cycles / 2)) "${words[@]}"
    stop_sim
    last=$(grep '^<- :' "$work/sim.err" | tail -n 1)
    if [ "$last" = "<- :X" ]; then
      pass "$name: the monitor's last command was X"
    else
      fail "$name: the monitor's last command was '${last#<- }', not X"
    fi
  fi
done

echo "== independent PE check of the 32-bit DLL"
pe_out=$(/usr/bin/python3 "$here/check_pe.py" "$pe32" 2>&1)
grep -v -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$pe_out" | sed 's/^/   /'
while read -r line; do
  case "$line" in
    "ok   "*) passed=$((passed + 1)) ;;
    "FAIL "*) failed=$((failed + 1)) ;;
  esac
done <<<"$pe_out"
grep -q '^ok   ' <<<"$pe_out" || fail "check_pe.py did not run"

finish
