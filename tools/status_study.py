"""How calib's channel statuses and the default acceptance criteria behave
on simulated chips: ordinary chips (clean, 1 to 200 trains, TPC at 20 and
30 mV/fC, MuCh at 4 mV/fC) should have no channel flagged, faulty runs
(MuCh data read as TPC and the reverse, a 20 % non-linearity) should have
most of theirs flagged. Prints the runs that break either rule and the
largest figures of the clean runs, which the thresholds in
core/detector.hpp and the built-in criteria were chosen from.

Usage: status_study.py CALIB_EXE CALIB_SIM_EXE WORK_DIR [SEEDS]
"""
import collections
import concurrent.futures
import json
import os
import subprocess
import sys

calib, sim, work = sys.argv[1:4]
seeds = int(sys.argv[4]) if len(sys.argv) > 4 else 8
trains_list = [1, 2, 3, 5, 10, 20, 50, 200]


def analyse(job):
    name, sim_args, config = job
    d = os.path.join(work, name)
    os.makedirs(d, exist_ok=True)
    if not os.path.exists(os.path.join(d, "adc.txt")):
        subprocess.run([sim, *sim_args, "--no-truth", os.path.join(d, "adc.txt")], check=True)
    subprocess.run([calib, "--quiet", "7", config, "./adc.txt"], cwd=d, capture_output=True)
    return name, json.load(open(os.path.join(d, f"gain_kelta7_{config}.log.json")))


clean, faulty = [], []
for config, gain in (("20mV_calib-odd", []), ("30mV_calib-even", ["--gain", "30"]), ("4mV_calib", [])):
    for trains in trains_list:
        for s in range(1, seeds + 1):
            clean.append((f"{config}_{trains}_{s}", ["--config", config, *gain, "--trains", str(trains),
                                                     "--seed", str(1000 * s + trains)], config))
for trains in (2, 5, 20, 200):
    for s in range(1, seeds + 1):
        seed = ["--trains", str(trains), "--seed", str(s)]
        faulty.append((f"much_as_tpc_{trains}_{s}", ["--config", "4mV_calib", *seed], "20mV_calib"))
        faulty.append((f"tpc_as_much_{trains}_{s}", ["--config", "20mV_calib", *seed], "4mV_calib"))
        faulty.append((f"nonlinear_{trains}_{s}", ["--config", "20mV_calib", *seed, "--nonlinearity", "0.2"],
                       "20mV_calib"))

with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
    clean_results = list(pool.map(analyse, clean))
    faulty_results = list(pool.map(analyse, faulty))

largest = collections.defaultdict(float)
for name, r in clean_results:
    flagged = [(c["channel"], c["status"]) for c in r["channels"] if c["status"] != "ok"]
    if flagged:
        print("clean run with channels flagged:", name, flagged)
    config = name.split("_")[0]
    for key in ("maxPull", "inl"):
        largest[f"{config} {key}"] = max([largest[f"{config} {key}"]] + [c[key] or 0 for c in r["channels"]])
    largest[f"{config} enc"] = max([largest[f"{config} enc"]] + [c["enc"] or 0 for c in r["channels"]])
    largest[f"{config} spread"] = max(largest[f"{config} spread"], r["chip"]["gainSpreadPercent"] or 0)
for name, r in faulty_results:
    ok = sum(c["status"] == "ok" for c in r["channels"])
    if ok > 16:
        print("faulty run with most channels ok:", name, ok)
print(f"{len(clean_results)} clean runs, {len(faulty_results)} faulty runs; largest figures of the clean runs:")
for key, value in sorted(largest.items()):
    print(f"  {key}: {value:.2f}")
