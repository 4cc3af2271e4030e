#!/bin/sh
# What a user pays, end to end: runs the programs as a user runs them (the recorder with its guide,
# the desktop program with its window shown, `check` and `inspect`, eight `/stream` clients, the
# start-up) beside FFmpeg in the same run, and prints one line per figure with the hour, the load
# and FFmpeg's figure of this run. Each benchmark's JSON is kept in the folder given (default: a new
# temporary folder).
#   scripts/cost.sh [BUILD_DIR [OUT_DIR]]      (BUILD_DIR: a Release build with PELKAN_BENCH=ON)
set -eu
build=${1:-build/rel}
out=${2:-$(mktemp -d)}
mkdir -p "$out"
bench="$build/bench"
for b in recorder_e2e_bench desktop_e2e_bench check_bench http_server_bench; do
  [ -x "$bench/$b" ] || { echo "cost.sh: $bench/$b is missing (a Release build with PELKAN_BENCH=ON)" >&2; exit 2; }
done
command -v ffmpeg >/dev/null || { echo "cost.sh: ffmpeg is not installed" >&2; exit 2; }

load() { cut -d' ' -f1 /proc/loadavg; }
run() {
  name=$1; shift
  printf '%s  %s (load %s)\n' "$(date -u +%H:%M)" "$name" "$(load)" >&2
  "$@" --benchmark_format=json --benchmark_out="$out/$name.json" --benchmark_out_format=json >/dev/null
}
run recorder "$bench/recorder_e2e_bench"
run desktop xvfb-run -a -s "-screen 0 1600x1000x24" "$bench/desktop_e2e_bench"
run check "$bench/check_bench"
# (30 s a case: the difference of two shares of a core is small beside their noise over 10 s)
export PELKAN_HTTP_SECONDS="${PELKAN_HTTP_SECONDS:-30}"
run http "$bench/http_server_bench" --benchmark_filter='HttpClients.*chasing:0'

python3 - "$out" <<'PY'
import json, sys, os
out = sys.argv[1]
def bench(name):
    with open(os.path.join(out, name + ".json")) as f:
        data = json.load(f)
    return {b["name"].split("/")[0]: b for b in data["benchmarks"]}, data["context"]["date"]
r, when = bench("recorder")
rec = r["BM_RecorderBesideFfmpeg"]
print(f"{when[11:16]} UTC, load {os.getloadavg()[0]:.1f}")
print(f"1. recorder with its guide: {rec['recorder_pct']:.2f} % of a core, {rec['recorder_wakeups_per_s']:.0f} wake-ups/s, "
      f"{rec['recorder_rss_MiB']:.0f} MiB (target <= 0.5 %, <= 40/s); FFmpeg's relay {rec['ffmpeg_pct']:.2f} %, ratio {rec['ratio']:.2f}")
d, _ = bench("desktop")
dr = d["BM_DesktopRecording"]
print(f"2. desktop recording, window shown: {dr['desktop_pct']:.2f} % (command line {dr['cli_pct']:.2f} %: "
      f"+{dr['desktop_over_cli_pct']:.2f}), {dr['desktop_rss_MiB']:.0f} MiB; with the guide window "
      f"+{dr['guide_window_over_cli_pct']:.2f}, {dr['guide_window_rss_MiB']:.0f} MiB (target +0.2, <= 64 MiB); "
      f"FFmpeg's relay {dr['ffmpeg_pct']:.2f} %")
with open(os.path.join(out, "check.json")) as f:
    c = {b["name"].split("/")[0]: b for b in json.load(f)["benchmarks"]}
ff = c["BM_FfmpegDemux"]
print(f"3. inspect --json {c['BM_InspectCommand']['cpu_GBps']:.2f} GB/s of CPU, {ff['cpu_times_inspect']:.1f}x FFmpeg "
      f"({ff['cpu_GBps']:.2f} GB/s; target 15x); check {c['BM_CheckCommand']['cpu_GBps']:.2f} GB/s, "
      f"{c['BM_CheckCommand'].get('of_bare', 0):.2f} of the bare header pass (target >= 0.9)")
st = d["BM_DesktopStartup"]; v = d["BM_CliVersion"]
print(f"4. main window shown in {st['shown_ms']:.0f} ms (target < 300); pelkan-cli --version {v['version_ms']:.1f} ms, "
      f"/bin/true {v.get('true_ms', 0):.1f} ms (target < 3)")
with open(os.path.join(out, "http.json")) as f:
    h = [b for b in json.load(f)["benchmarks"]]
none = next(b for b in h if "/clients:0/" in b["name"])
eight = next(b for b in h if "/clients:8/chasing:0" in b["name"])
print(f"5. eight /stream clients: +{eight['pct_of_core'] - none['pct_of_core']:.2f} % of a core "
      f"({none['pct_of_core']:.2f} -> {eight['pct_of_core']:.2f} %; target <= 0.5)")
PY
echo "(the benchmarks' JSON: $out)"
