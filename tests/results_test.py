"""The JSON results of simulated runs: valid against docs/results.schema.json,
statuses where the simulator's truth puts faults and nowhere else, noise and
ENC within statistical bounds of the truth, gains equal to the gain-log rows,
clean runs all "ok", and the faults a test stand meets (a configuration that
names the wrong detector, non-linearity, clipping, a half-noisy chip) each
with its own status.

Usage: results_test.py CALIB_EXE CALIB_SIM_EXE SCHEMA
"""
import atexit
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

import jsonschema

calib, sim, schema_path = sys.argv[1:4]
schema = json.load(open(schema_path))
jsonschema.Draft202012Validator.check_schema(schema)
failures = []
# Every run's directory lies below one that goes at exit.
scratch = tempfile.mkdtemp(prefix="calib-results-")
atexit.register(shutil.rmtree, scratch, True)


def check(condition, message):
    if not condition:
        failures.append(message)


def run(name, config, sim_args, analysed_as=None):
    d = tempfile.mkdtemp(dir=scratch)
    subprocess.run([sim, "--config", config, *sim_args, os.path.join(d, "adc.txt")], check=True)
    config = analysed_as or config
    r = subprocess.run([calib, "7", config, "./adc.txt"], cwd=d, capture_output=True, text=True)
    check(r.returncode == 0, f"{name}: exit status {r.returncode}: {r.stderr}")
    log = os.path.join(d, f"gain_kelta7_{config}.log")
    results = json.load(open(log + ".json"))
    truth = json.load(open(os.path.join(d, "adc.txt.truth.json")))
    try:
        jsonschema.validate(results, schema)
    except jsonschema.ValidationError as e:
        failures.append(f"{name}: not valid: {e.message}")
    rows = {int(l[:2]): l[10:15] for l in open(log).read().splitlines()[1:]}
    return results, truth, rows


def expect_statuses(name, results, expected):
    for ch in results["channels"]:
        want = expected(ch["channel"])
        check(ch["status"] == want, f"{name}: channel {ch['channel']} is {ch['status']}, expected {want}")
    counts = results["chip"]["statusCounts"]
    check(sum(counts.values()) == 32, f"{name}: status counts {counts}")


def fault_status(truth):
    def status(c):
        t = truth["channels"][c]
        if t["dead"]:
            return "dead"
        if t["noisy"]:
            return "noisy"
        if t.get("outlier"):
            return "gain_outlier"
        return "ok"
    return status


def check_noise_and_gains(name, results, truth, rows):
    windows = results["run"]["windowsAnalysed"]
    dof = windows * 9
    for ch, t in zip(results["channels"], truth["channels"]):
        c = ch["channel"]
        # The ADC's rounding adds 1/12 count^2 to the variance.
        expected = math.sqrt(t["noise"] ** 2 + 1 / 12)
        rel = abs(ch["noise"]["adc"] / expected - 1)
        check(rel < 5 / math.sqrt(2 * dof) + 0.02, f"{name}: channel {c} noise {ch['noise']['adc']} vs {expected}")
        check(abs(ch["noise"]["mV"] - 2.15 * ch["noise"]["adc"]) < 1e-9, f"{name}: channel {c} noise in mV")
        check(abs(ch["baseline"] - t["baseline"]) < 0.3, f"{name}: channel {c} baseline {ch['baseline']}")
        if ch["fit"] is None:
            check(c not in rows and ch["enc"] is None, f"{name}: channel {c} row or ENC without a fit")
            continue
        check(rows.get(c) == f"{ch['fit']['gain']:5.2f}", f"{name}: channel {c} gain {ch['fit']['gain']} vs row {rows.get(c)}")
        if ch["status"] == "dead":
            check(ch["enc"] is None and ch["inl"] is None, f"{name}: dead channel {c} has an ENC or INL")
        else:
            enc = ch["noise"]["mV"] / ch["fit"]["gain"] * 6241.509
            check(abs(ch["enc"] - enc) < 1e-6 * enc, f"{name}: channel {c} ENC {ch['enc']} vs {enc}")
            # Against the truth: the measured gain is the true one times the
            # sampling factor of the highest sample (0.9 to 1).
            true_enc = expected * 2.15 / t["gain"] * 6241.509
            check(0.95 < ch["enc"] / true_enc < 1.15, f"{name}: channel {c} ENC {ch['enc']} vs truth {true_enc}")
            check(ch["inl"] is not None and 0 <= ch["inl"] < 2, f"{name}: channel {c} INL {ch['inl']}")


results, truth, rows = run("tpc", "20mV_calib-odd",
                           ["--trains", "200", "--seed", "5", "--dead", "3,17", "--noisy", "5", "--outlier", "9"])
expect_statuses("tpc", results, fault_status(truth))
check_noise_and_gains("tpc", results, truth, rows)

results, truth, rows = run("much", "4mV_calib-even",
                           ["--trains", "200", "--seed", "6", "--dead", "0", "--noisy", "12,30", "--outlier", "21",
                            "--outlier-factor", "0.7"])
expect_statuses("much", results, fault_status(truth))
check_noise_and_gains("much", results, truth, rows)
check(results["run"]["detector"] == "MuCh", "much: detector")
# MuCh's first two pulses are never measured.
for ch in results["channels"]:
    for p in ch["points"]:
        unmeasured = p["pulse"] < 2
        check(p["measured"] != unmeasured and (p["amplitude"] is None) == unmeasured
              and (p["meanRawPeak"] is None) == unmeasured, f"much: channel {ch['channel']} pulse {p['pulse']}")

# Every pulse beyond the ADC's range: nothing but the origin on the curves.
results, truth, rows = run("saturated", "20mV_calib-odd", ["--trains", "50", "--seed", "7", "--gain", "1000"])
expect_statuses("saturated", results, lambda c: "saturated")
check(all(p["saturated"] for ch in results["channels"] for p in ch["points"]), "saturated: points")

# One pulse left below saturation in each channel: saturation took the
# points a line needs.
results, truth, rows = run("one point left", "20mV_calib-odd", ["--trains", "50", "--seed", "8", "--gain", "300"])
expect_statuses("one point left", results, lambda c: "saturated")

# Clean runs, short and long: nothing flagged.
for config, gain in (("20mV_calib-odd", "20"), ("30mV_calib-even", "30"), ("4mV_calib", "4")):
    for trains in ("1", "200"):
        name = f"clean {config} {trains}"
        results, truth, rows = run(name, config, ["--trains", trains, "--seed", "11", "--gain", gain])
        expect_statuses(name, results, lambda c: "ok")
        check(all(ch["fit"]["minima"] == 1 for ch in results["channels"]), f"{name}: more than one minimum")
        counts = results["run"]["input"]
        check(counts["looksLike"] == "text" and counts["linesWithFewerValues"] == 0 and counts["tokensNotNumbers"] == 0
              and counts["windowsDropped"] == 0 and counts["dataLines"] + counts["zeroLines"] ==
              results["run"]["linesProcessed"], f"{name}: input counts {counts}")


def profile_chi2(points, p1):
    w = [1 / (ey * ey + p1 * p1 * ex * ex) for _, _, ex, ey in points]
    sw = sum(w)
    xbar = sum(wi * p[0] for wi, p in zip(w, points)) / sw
    ybar = sum(wi * p[1] for wi, p in zip(w, points)) / sw
    return sum(wi * ((y - ybar) - p1 * (x - xbar)) ** 2 for wi, (x, y, _, _) in zip(w, points))


def check_lowest_minimum(name, ch):
    """The fit against a dense scan of the chi-square over every slope."""
    points = [(p["charge"], p["amplitude"], 0.1, p["amplitudeError"]) for p in ch["points"]
              if p["measured"] and not p["saturated"] and p["inFitRange"]]
    slopes = [s * 10 ** (k / 2000) for s in (-1, 1) for k in range(-6000, 10001)]
    chi2 = [profile_chi2(points, p1) for p1 in slopes]
    best = min(range(len(slopes)), key=chi2.__getitem__)
    fit = ch["fit"]
    check(fit["chi2"] <= chi2[best] * (1 + 1e-9), f"{name}: channel {ch['channel']} chi2 {fit['chi2']} above {chi2[best]}")
    check(abs(fit["gain"] / slopes[best] - 1) < 0.002, f"{name}: channel {ch['channel']} gain {fit['gain']} vs {slopes[best]}")


# The faults: a configuration naming the other detector, non-linearity,
# clipping and a chip half of whose channels are noisy.
results, truth, rows = run("much as tpc", "4mV_calib", ["--trains", "200", "--seed", "12"], analysed_as="20mV_calib")
expect_statuses("much as tpc", results, lambda c: "bad_fit")
check(results["run"]["input"]["windowsDropped"] > 0, "much as tpc: no window dropped")
for ch in results["channels"][:4]:
    check_lowest_minimum("much as tpc", ch)
results, truth, rows = run("much as tpc, 2 trains", "4mV_calib", ["--trains", "2", "--seed", "3"], analysed_as="20mV_calib")
expect_statuses("much as tpc, 2 trains", results, lambda c: "bad_fit")
results, truth, rows = run("tpc as much", "20mV_calib", ["--trains", "200", "--seed", "13"], analysed_as="4mV_calib")
expect_statuses("tpc as much", results, lambda c: "bad_fit")
results, truth, rows = run("non-linear", "20mV_calib", ["--trains", "200", "--seed", "14", "--nonlinearity", "0.2"])
expect_statuses("non-linear", results, lambda c: "bad_fit")
results, truth, rows = run("clipping", "30mV_calib", ["--trains", "200", "--seed", "15", "--gain", "45"])
expect_statuses("clipping", results, lambda c: "clipped")
check(all(any(p["windowsAtLimit"] > 0 and not p["saturated"] and p["inFitRange"] for p in ch["points"])
          for ch in results["channels"]), "clipping: a channel without a clipped point")
for trains in ("20", "200"):
    results, truth, rows = run(f"half noisy, {trains} trains", "20mV_calib",
                               ["--trains", trains, "--seed", "16", "--noisy", "0-15"])
    expect_statuses(f"half noisy, {trains} trains", results, fault_status(truth))

# The options.
d = tempfile.mkdtemp(dir=scratch)
adc = os.path.join(d, "adc.txt")
subprocess.run([sim, "--trains", "20", "--seed", "9", adc], check=True)


def calib_run(*args):
    return subprocess.run([calib, *args], cwd=d, capture_output=True, text=True)


full = calib_run("7", "20mV_calib-odd", "./adc.txt")
log = os.path.join(d, "gain_kelta7_20mV_calib-odd.log")
first = open(log + ".json").read()
os.remove(log + ".json")
open(log + ".json", "w").write("{}")
quiet = calib_run("--quiet", "--no-json", "--", "7", "20mV_calib-odd", "./adc.txt")
check(quiet.returncode == 0 and quiet.stderr == "", f"--quiet: {quiet.stderr}")
check(not os.path.exists(log + ".json"), "--no-json left the results of an earlier run")
commentary = ("line ", "ichan ", "ipeak ", "baseBin ")
kept = [l for l in full.stdout.splitlines() if not (l.startswith(commentary) and "fC_estimate" not in l)]
check(quiet.stdout.splitlines() == kept, "--quiet: not the full output less the commentary")
again = calib_run("--no-progress", "7", "20mV_calib-odd", "./adc.txt")
check(open(log + ".json").read() == first and again.stdout == full.stdout, "the same run gave other outputs")
unknown = calib_run("--colour", "7", "20mV_calib-odd", "./adc.txt")
check(unknown.returncode == 255 and unknown.stdout == "" and "unknown option '--colour'" in unknown.stderr,
      f"unknown option: {unknown.returncode} {unknown.stderr}")
usage = calib_run("--quiet", "7", "x")
check(usage.returncode == 255 and usage.stdout.startswith("not enough arguments: argc = 3\n"), "usage with options")
help_ = calib_run("--help")
check(help_.returncode == 0 and help_.stdout.startswith("Usage: calib.exe [options]"), "--help")
version = calib_run("--version")
check(version.returncode == 0 and version.stdout == f"calib {results['tool']['version']}\n", "--version")
# "-5" is a chip string, and words after "--" are arguments.
dash = calib_run("--", "--5", "20mV_calib-odd", "./adc.txt")
check(dash.returncode == 0 and os.path.exists(os.path.join(d, "gain_kelta--5_20mV_calib-odd.log")), "-- handling")

# Progress: on by default when standard error is a terminal and standard
# output is not, and never on standard output.
import pty
master, slave = pty.openpty()
with open(os.path.join(d, "out.txt"), "w") as out:
    p = subprocess.Popen([calib, "7", "20mV_calib-odd", "./adc.txt"], cwd=d, stdout=out, stderr=slave)
os.close(slave)
shown = b""
while True:
    try:
        chunk = os.read(master, 4096)
    except OSError:
        break
    if not chunk:
        break
    shown += chunk
p.wait()
check(p.returncode == 0, "progress run failed")
check(b"% of " in shown and b"MB/s" in shown and shown.startswith(b"\r"), f"no progress line on the terminal: {shown!r}")
check(open(os.path.join(d, "out.txt")).read() == full.stdout, "progress reached standard output")
check("MB/s" in calib_run("--progress", "7", "20mV_calib-odd", "./adc.txt").stderr, "--progress off a terminal")

for f in failures:
    print("FAIL:", f)
print(f"{len(failures)} failures")
sys.exit(1 if failures else 0)
