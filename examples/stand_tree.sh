#!/usr/bin/env bash
# A test stand's tree of simulated runs, analysed and recorded by
# calib-batch: two days, a clean chip calibrated on both, a chip with a
# dead channel, a MuCh chip stored compressed, a file that is not a run.
# Run it from the repository after `make build`; it works in ./stand-demo.
set -euo pipefail
bin="$(cd "$(dirname "$0")/.." && pwd)/build"
rm -rf stand-demo && mkdir -p stand-demo && cd stand-demo

sim() {  # sim DAY TIME CHIP CONFIG SUFFIX [calib-sim options]
  local day=$1 time=$2 chip=$3 config=$4 suffix=$5
  shift 5
  local dir="robot/$day/${time}_kelta$chip"
  mkdir -p "$dir"
  "$bin/calib-sim" --no-truth --config "$config" "$@" \
    "$dir/${time}_kelta${chip}_dunor00_link00_${config}_adc.txt$suffix"
}
sim 20180725 123510 100000 20mV_calib-odd "" --trains 50 --seed 1 --chip-seed 100000
sim 20180725 124002 100001 20mV_calib-odd "" --trains 50 --seed 2 --dead 3
sim 20180725 125233 100002 4mV_calib .zst --trains 50 --seed 3
sim 20180726 091544 100000 20mV_calib-odd "" --trains 50 --seed 4 --chip-seed 100000
echo "stand log" > robot/notes.txt

# The files were written just now and are complete: --settle 0 takes them
# at once (a stand's own files wait until left alone for a minute).
"$bin/calib-batch" run --settle 0 --calib "$bin/calib.exe" robot
echo
"$bin/calib-batch" chips
echo
"$bin/calib-batch" history 100000
