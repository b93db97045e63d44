#!/usr/bin/env bash
# Performance figures and their targets, as one table: scripts/bench.sh
# Builds the benchmarks (Release, build/bench), runs each Google Benchmark program with JSON
# output and prints every figure next to its target (and, for the ready rows, next to what
# fixed-step host waits would give). About two minutes; the end-to-end part
# needs /usr/bin/python3 with python3-serial for its baseline. VYRA_BENCH_SECONDS (default 10)
# sets the streaming window of the end-to-end runs.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYRA_BENCH=ON -DVYRA_TESTS=OFF >/dev/null
ninja -C build/bench -j2 >/dev/null
out=build/bench/results
mkdir -p "$out"
for b in handle_reply_bench hostcmd_bench alloc_bench stream_bench; do
  echo "running $b ..." >&2
  build/bench/bench/$b --benchmark_format=json --benchmark_out="$out/$b.json" --benchmark_out_format=json \
    --benchmark_min_time=0.3 >/dev/null 2>"$out/$b.err" || { cat "$out/$b.err" >&2; exit 1; }
done
/usr/bin/python3 - "$out" <<'PY'
import json, sys, os
out = sys.argv[1]
runs = {}
for f in os.listdir(out):
    if f.endswith(".json"):
        for b in json.load(open(os.path.join(out, f)))["benchmarks"]:
            runs[b["name"].split("/iterations")[0].split("/real_time")[0]] = b
def get(name, key):
    b = runs.get(name)
    if b is None or b.get("error_occurred"):
        return None
    return b.get(key)
rows = []
# stepped: the same figure under fixed-step host waits (Ready rows only).
def row(figure, value, target, ok, fmt="{:,.0f}", stepped=None):
    v = "n/a" if value is None else value if isinstance(value, str) else fmt.format(value)
    st = "" if stepped is None else fmt.format(stepped)
    verdict = "" if ok is None else ("met" if (value is not None and ok) else "NOT MET")
    rows.append((figure, v, st, target, verdict))

hr = get("BM_HandleSampleLine", "lines/s")
row("HandleReply, 10-field sample lines/s", hr, ">= 300,000", hr is not None and hr >= 300000)
row("  protocol core alone (HandleLine), same lines/s", get("BM_CoreHandleLine", "lines/s"), "", None)
row("  HandleReply after the caches held other work (paced: a line per wake), us/line", get("BM_HandleSampleLineCold", "us/line"), "", None, "{:.2f}")
rl = get("BM_ReadLineFormatting/2048", "items_per_second")
row("ReadLine formatting, samples/s (2048-byte buffer)", rl, ">= 10 x HandleReply lines/s", rl is not None and hr is not None and rl >= hr * 10)
for key, label in (("Stream/paced", "paced 11,520 B/s, 1 device"), ("Stream/unpaced", "unpaced, 1 device"), ("Stream/scale8", "paced, 8 devices")):
    sps = get(key, "samples_per_s"); lps = get(key, "lines_per_s")
    row(f"{label}: samples/s delivered", sps, "all sent", None)
    row(f"{label}: lines/s", lps, "50/s per device when paced", None, "{:,.1f}")
    lost = get(key, "lost"); dup = get(key, "duplicated")
    row(f"{label}: lost / duplicated", None if lost is None else lost + dup, "0", lost is not None and lost + dup == 0)
    cpu = get(key, "cpu_pct_of_core")
    row(f"{label}: plug-in + host CPU, % of a core", cpu, "< 0.5 (paced, 1 device)" if key == "Stream/paced" else "", (cpu < 0.5) if (key == "Stream/paced" and cpu is not None) else None, "{:.3f}")
    hc = get(key, "host_threads_cpu_pct")
    row(f"{label}:   of which host ReadLine threads", hc, "", None, "{:.3f}")
    row(f"{label}:   of which reader threads", get(key, "reader_cpu_pct"), "", None, "{:.3f}")
    if get(key, "idle_cpu_pct") is not None:
        row(f"{label}: initialised, not sampling: CPU, % of a core", get(key, "idle_cpu_pct"), "", None, "{:.3f}")
    if key != "Stream/unpaced":
        p50 = get(key, "latency_p50_us"); p99 = get(key, "latency_p99_us"); mx = get(key, "latency_max_us")
        row(f"{label}: latency write->ReadLine p50, us", p50, "", None, "{:.0f}")
        row(f"{label}: latency write->ReadLine p99, us", p99, "< 1000", p99 is not None and p99 < 1000, "{:.0f}")
        row(f"{label}: latency write->ReadLine max, us", mx, "", None, "{:.0f}")
for key, label in (("Stream/live8/0", "8 devices feeding the live view, no client"),
                   ("Stream/live8/4", "8 devices feeding the live view, 4 clients")):
    lost = get(key, "lost"); dup = get(key, "duplicated")
    row(f"{label}: lost / duplicated", None if lost is None else lost + dup, "0", lost is not None and lost + dup == 0)
    row(f"{label}: plug-in + host + live view CPU, % of a core", get(key, "cpu_pct_of_core"), "", None, "{:.3f}")
    row(f"{label}: events sent to clients, KiB/s", get(key, "client_kbytes_per_s"), "", None, "{:.1f}")
    rss = get(key, "rss_growth_kb")
    row(f"{label}: resident memory growth over the window, KiB", rss, "< 4096 (flat)", rss is not None and rss < 4096, "{:.0f}")
    if key.endswith("/4"):
        row(f"{label}: clients dropped (one more never reads)", get(key, "dropped"), "1", get(key, "dropped") == 1, "{:.0f}")
l0 = get("Stream/live8/0", "cpu_pct_of_core"); l4 = get("Stream/live8/4", "cpu_pct_of_core")
s8 = get("Stream/scale8", "cpu_pct_of_core")
row("live view: CPU with no client - no live view (scale8), % of a core", (l0 - s8) if (l0 is not None and s8 is not None) else None, "", None, "{:+.3f}")
row("live view: CPU with 4 clients - with none, % of a core", (l4 - l0) if (l0 is not None and l4 is not None) else None, "", None, "{:+.3f}")
py = get("Stream/python", "cpu_pct_of_core")
ours = get("Stream/paced", "cpu_pct_of_core")
f1 = get("Stream/floor/1", "cpu_pct_of_core"); f2 = get("Stream/floor/2", "cpu_pct_of_core")
row("floor: bare poll/read loop, one thread, same stream: CPU %", f1, "", None, "{:.3f}")
row("floor: bare poll/read + hand-off to a waiting thread: CPU %", f2, "", None, "{:.3f}")
row("paced plug-in + host CPU / hand-off floor, rows above", (ours / f2) if (ours and f2) else None, "", None, "{:.2f}x")
share = get("Stream/share", "ratio_median")
row("paced plug-in + host CPU / hand-off floor, alternating windows: median", share, "<= 1.15", share is not None and share <= 1.15, "{:.2f}x")
def pair(a, b, fmt):
    x = get("Stream/share", a); y = get("Stream/share", b)
    return None if x is None or y is None else (fmt + " / " + fmt).format(x, y)
row("  lowest / highest of the 11 pairs", pair("ratio_min", "ratio_max", "{:.2f}x"), "", None)
row("  median plug-in + host CPU / median floor, % of a core", pair("cpu_pct_median", "floor_pct_median", "{:.3f}"), "", None)
# Per side, from the same windows: the reading thread against the floor's reader, the host
# thread against the floor's waiting thread (each thread's own clock), to show which side
# carries a difference.
row("  reader thread / floor's reader, median of the pairs", get("Stream/share", "reader_ratio_median"), "", None, "{:.2f}x")
row("  host thread / floor's waiting thread, median of the pairs", get("Stream/share", "host_ratio_median"), "", None, "{:.2f}x")
row("python3-serial loop, same paced stream: CPU, % of a core (reference)", py, "", None, "{:.3f}")
row("python CPU / plug-in CPU (reference)", (py / ours) if (py and ours) else None, "", None, "{:.1f}x")
row("python CPU / hand-off floor (reference)", (py / f2) if (py and f2) else None, "", None, "{:.1f}x")
per8 = get("Stream/scale8", "cpu_pct_per_device")
rel = (per8 / ours) if (per8 and ours) else None
row("8 devices: CPU per device / single-device CPU", rel, "<= 1.20", rel is not None and rel <= 1.2, "{:.2f}")
t1 = get("Tool/devices/1/clients:0", "cpu_pct_per_device"); t8 = get("Tool/devices/8/clients:0", "cpu_pct_per_device")
row("vyra-host stream --devices all, 1 device: CPU, % of a core", t1, "", None, "{:.3f}")
row("vyra-host stream --devices all, 8 devices: CPU per device, % of a core", t8, "", None, "{:.3f}")
trel = (t8 / t1) if (t1 and t8) else None
row("vyra-host, 8 devices: CPU per device / 1 device", trel, "<= 1.20", trel is not None and trel <= 1.2, "{:.2f}")
for n, c in ((1, 0), (8, 0), (8, 4)):
    key = f"Tool/devices/{n}/clients:{c}"
    tl = get(key, "lost"); td = get(key, "duplicated")
    with_ = f" --serve, {c} live clients + 1 that never reads" if c else ""
    row(f"vyra-host, {n} device(s){with_}: samples lost / duplicated", None if tl is None else tl + td, "0", tl is not None and tl + td == 0)
l8 = get("Tool/devices/8/clients:4", "cpu_pct_of_core"); n8 = get("Tool/devices/8/clients:0", "cpu_pct_of_core")
row("vyra-host, 8 devices --serve with 4 live clients: CPU, % of a core", l8, "", None, "{:.3f}")
row("vyra-host, 8 devices: CPU with 4 live clients - without --serve, % of a core", (l8 - n8) if (l8 is not None and n8 is not None) else None, "", None, "{:+.3f}")
row("vyra-host, 8 devices, 4 live clients: events received, KiB/s", get("Tool/devices/8/clients:4", "client_kbytes_per_s"), "", None, "{:.1f}")
w = get("BM_IdleReadLineCpu/3000", "cpu_ms_waiting"); s = get("BM_IdleReadLineCpu/3000", "cpu_ms_spinning")
row("ReadLine waiting 3 s without data: CPU ms", w, "", None, "{:.2f}")
row("spinning wait for the same 3 s: CPU ms", s, "", None, "{:.0f}")
pct = get("BM_IdleReadLineCpu/3000", "waiting_pct_of_spinning")
row("waiting CPU, % of spinning", pct, "< 1", pct is not None and pct < 1, "{:.3f}")
def ready(figure, key, steppedKey, target="", ok=None):
    v = get("Ready/one", key)
    row(f"ready, 1 device answering at once: {figure}, ms", v, target, None if ok is None else (v is not None and ok(v)), "{:.1f}",
        get("Ready/one", steppedKey))
ready("FindDevice", "find_ms", "find_ms")
ready("Initialise", "init_ms", "init_stepped_ms")
ready("first channel command (code 11)", "channels_ms", "channels_stepped_ms")
ready("code 37 (start sampling)", "start_ms", "start_stepped_ms")
ready("first data line after code 37", "first_line_ms", "first_line_stepped_ms")
ready("FindDevice to first data line", "total_ms", "total_stepped_ms", "< 100", lambda v: v < 100)
e8 = get("Ready/eight", "total_ms")
row("ready: 8 monitors found and initialised one after another, ms", e8, "< 500", e8 is not None and e8 < 500, "{:.1f}",
    get("Ready/eight", "total_stepped_ms"))
a = get("BM_RingAndReadLineAllocations", "allocs_per_sample")
row("allocations per sample, ring Push + ReadLine", a, "0", a is not None and a == 0, "{:.4f}")
l = get("BM_SampleLineAllocations", "allocs_per_line")
# values_per_line 5: the counted lines reached the rings.
if get("BM_SampleLineAllocations", "values_per_line") != 5:
    l = None
row("allocations per sample line", l, "0", l is not None and l == 0, "{:.4f}")

w = [max(len(r[i]) for r in rows + [("figure", "value", "stepped", "target", "")]) for i in range(4)]
line = f"+-{'-'*w[0]}-+-{'-'*w[1]}-+-{'-'*w[2]}-+-{'-'*w[3]}-+---------+"
print(line); print(f"| {'figure':<{w[0]}} | {'value':>{w[1]}} | {'stepped':>{w[2]}} | {'target':<{w[3]}} | verdict |"); print(line)
for r in rows:
    print(f"| {r[0]:<{w[0]}} | {r[1]:>{w[1]}} | {r[2]:>{w[2]}} | {r[3]:<{w[3]}} | {r[4]:<7} |")
print(line)
PY
