"""The exports as pandas reads them: the commands and the Python of the
section "Reading the exports with pandas" of docs/batch.md run as written
over a simulated stand whose chips, dates and times are made of digits
("0042", "080100"); then the types they read, the channels joined with their
records, and every filter of export checked against the same selection made
in pandas from the whole export.

Usage: pandas_examples_test.py CALIB_BATCH_EXE CALIB_SIM_EXE DOCS_BATCH_MD
"""
import atexit
import contextlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pandas as pd

batch, sim, docs = (os.path.abspath(a) for a in sys.argv[1:4])
failures = []
scratch = tempfile.mkdtemp(prefix="calib-pandas-")
atexit.register(shutil.rmtree, scratch, True)
os.chdir(scratch)
env = dict(os.environ, PATH=os.path.dirname(os.path.abspath(batch)) + os.pathsep + os.environ["PATH"])


def check(condition, message):
    if not condition:
        failures.append(message)


def calib_batch(*args):
    r = subprocess.run([batch, *args], capture_output=True, text=True, env=env)
    if r.returncode != 0:
        sys.exit(f"calib-batch {' '.join(args)}: exit {r.returncode}: {r.stderr}")
    return r.stdout


# Three chips over three days on two boards, one of them measured at two
# configurations.
stand = [
    ("0042", "20180725", "080100", "dunor03", "20mV_calib-odd"),
    ("0042", "20180726", "080100", "dunor03", "20mV_calib-odd"),
    ("0043", "20180726", "091500", "dunor03", "20mV_calib-odd"),
    ("0107", "20180727", "000500", "dunor07", "20mV_calib-odd"),
    ("0107", "20180727", "001000", "dunor07", "4mV_calib-even"),
]
for i, (chip, day, time, board, config) in enumerate(stand):
    name = f"{time}_kelta{chip}"
    path = f"robot/{day}/{name}/{name}_{board}_link01_{config}_adc.txt"
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run([sim, "--no-truth", "--trains", "12", "--seed", str(40 + i), "--chip-seed", chip,
                    "--config", config, path], check=True, capture_output=True)
calib_batch("run", "--settle", "0", "robot")

# The section of the documentation, run as written.
text = open(docs, encoding="utf-8").read()
start = text.index("## Reading the exports with pandas")
section = text[start:text.index("\n## ", start + 1)]
blocks = re.findall(r"```(sh|python)\n(.*?)```", section, re.S)
check([kind for kind, _ in blocks] == ["sh", "python", "python"], f"blocks of the section: {blocks}")
shown = {}
for kind, code in blocks:
    if kind == "sh":
        subprocess.run(["bash", "-euo", "pipefail", "-c", code], check=True, env=env)
    else:
        with contextlib.redirect_stdout(io.StringIO()):
            exec(code, shown)
runs, channels, runs_json, current = (shown[k] for k in ("runs", "channels", "runs_json", "current"))

# Names stay text, times are times, each run's 32 channels carry its record.
for frame, label in ((runs, "runs.csv"), (runs_json, "runs.json"), (channels, "channels.csv"), (current, "SQLite")):
    check(sorted(set(frame.chip)) == ["0042", "0043", "0107"], f"{label}: chips {sorted(set(frame.chip))}")
    check(str(frame.measured_at.dtype).startswith("datetime64"), f"{label}: measured_at {frame.measured_at.dtype}")
for frame, label in ((runs, "runs.csv"), (runs_json, "runs.json"), (channels, "channels.csv")):
    check(set(frame.stand_time) == {"080100", "091500", "000500", "001000"}, f"{label}: {set(frame.stand_time)}")
    check(set(frame.stand_date) == {"20180725", "20180726", "20180727"}, f"{label}: {set(frame.stand_date)}")
    check(set(frame.board) == {"dunor03", "dunor07"} and set(frame.link) == {"link01"}, f"{label}: boards, links")
    check(frame.current.dtype == bool and frame.current.all(), f"{label}: current {frame.current.tolist()}")
check(len(runs) == len(stand) and runs.run_id.tolist() == runs_json.run_id.tolist(), "runs of CSV and JSON")
check(len(channels) == 32 * len(runs), f"{len(channels)} channel rows for {len(runs)} runs")
joined = channels.merge(runs, on="run_id", suffixes=("", "_run"))
for column in ("chip", "config", "measured_at", "board", "verdict", "criteria"):
    check((joined[column] == joined[column + "_run"]).all(), f"channels.{column} is not their run's")
check(channels.baseline_adc.between(20, 300).all(), f"baselines {channels.baseline_adc.describe()}")
# pandas reads CSV numbers to within a unit of the last place, the database exactly.
try:
    pd.testing.assert_frame_equal(current[["run_id", "channel", "status", "gain", "baseline_adc"]],
                                  channels[["run_id", "channel", "status", "gain", "baseline_adc"]], rtol=1e-14)
except AssertionError as e:
    check(False, f"the database read directly differs from the export: {e}")

# Each filter takes what pandas takes of the whole export.
day = runs.measured_at.dt.strftime("%Y-%m-%d")
filters = [
    (["--chip", "0042"], runs.chip == "0042"),
    (["--chip", "0042", "--chip", "0107"], runs.chip.isin(["0042", "0107"])),
    (["--chip", "42"], runs.chip == "42"),
    (["--config", "4mV*"], runs.config.str.startswith("4mV")),
    (["--since", "2018-07-26"], day >= "2018-07-26"),
    (["--until", "20180726"], day <= "2018-07-26"),
    (["--since", "2018-07-26", "--until", "2018-07-26", "--config", "20mV_calib-?dd"],
     (day == "2018-07-26") & (runs.config == "20mV_calib-odd")),
    (["--since", "2018-07-28"], day > "2018-07-27"),
]
for args, taken in filters:
    for what, whole in (("runs", runs), ("channels", channels)):
        out = calib_batch("export", "--what", what, *args)
        got = pd.read_csv(io.StringIO(out), dtype=shown["names"])
        want = whole[whole.run_id.isin(runs.run_id[taken])]
        check(got.run_id.tolist() == want.run_id.tolist(), f"export --what {what} {args}: {got.run_id.tolist()}")

# Judged again by other criteria: every record is kept, each analysis's
# channels come once, under its current record.
criteria = calib_batch("criteria", "show")
with open("lab.toml", "w", encoding="utf-8") as f:
    f.write(re.sub(r'(?m)^name = .*$', 'name = "lab"', criteria, count=1))
calib_batch("criteria", "set", "lab.toml")
every = pd.read_csv(io.StringIO(calib_batch("export", "--all")), dtype=shown["names"])
check(len(every) == 2 * len(stand) and every.current.sum() == len(stand), f"--all: {len(every)} records")
lab = pd.read_csv(io.StringIO(calib_batch("export", "--all", "--what", "channels")), dtype=shown["names"])
check(len(lab) == 32 * len(stand), f"--all channels: {len(lab)} rows")
check(lab.current.all() and set(lab.criteria) == {"lab 1"}, f"--all channels: {set(lab.criteria)}")
check(set(lab.run_id) == set(every.run_id[every.current]), "--all channels not under the current records")
check(set(lab.analysis_id) == set(runs.run_id), "--all channels: analyses")

for failure in failures:
    print("FAIL:", failure)
print(f"{len(failures)} failures")
sys.exit(1 if failures else 0)
