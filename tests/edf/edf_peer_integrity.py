#!/usr/bin/env python3
"""Checks the files the writer leaves in awkward cases with an independent reader.

usage: edf_peer_integrity.py mne|biosig PROGRAM

PROGRAM is edf_integrity_files: it writes the files (a failed and an unfinished write, limits
that need rounding, far and sub-second onsets, 640 signals, carried annotations, a crash-safe
file cut off at many instants) and manifest.json saying what each must read as. MNE reads every
whole record of a file, biosig the records its header counts. Exit status 77 (a skipped test for
ctest) when the reader is not installed.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


class Mismatch(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Mismatch(what)


def check_mne(case, path):
    import mne

    reader = mne.io.read_raw_bdf if case["bdf"] else mne.io.read_raw_edf
    raw = reader(path, preload=True, stim_channel=None)
    name = case["file"]
    samples = case["samples"]
    expect(raw.n_times == case["complete"] * samples, f"{name}: {raw.n_times} samples")
    got = raw.get_data()[0]
    tol = case["step"] * 1.000001 + 1e-15
    for i, (g, w) in enumerate(zip(got, case["values"])):
        expect(abs(g - w) <= tol, f"{name}: sample {i}: {g!r} != {w!r}")
    # MNE keeps only what lies inside the data, and cuts durations at its end.
    end = case["complete"]  # one-second records
    want = [dict(w, duration=min(w["duration"], end - w["onset"]))
            for w in case["annotations"] + (case["uncounted"] if not case.get("ahead") else [])
            if w["onset"] < end]
    ann = sorted(raw.annotations, key=lambda a: a["description"])
    want = sorted(want, key=lambda a: a["text"])
    expect([a["description"] for a in ann] == [w["text"] for w in want],
           f"{name}: annotations {[a['description'] for a in ann]}")
    for a, w in zip(ann, want):
        # MNE counts onsets from the first sample, which lies at the start subsecond.
        expect(abs(a["onset"] - w["onset"]) <= 1e-7 * (1 + abs(w["onset"]) * 1e-9),
               f"{name}: {w['text']} at {a['onset']!r} != {w['onset']!r}")
        expect(abs(a["duration"] - max(w["duration"], 0.0)) <= 1e-7,
               f"{name}: {w['text']} lasts {a['duration']!r}")


def save2gdf(*args):
    res = subprocess.run(["save2gdf", *args], capture_output=True, timeout=120)
    if res.returncode != 0:
        raise Mismatch(f"save2gdf {' '.join(args)} failed: {res.stderr.decode('latin-1').strip()}")
    return res.stdout.decode("latin-1")


def check_biosig(case, path, work):
    name = case["file"]
    out = save2gdf("-JSON", path)
    hdr = json.loads(re.sub(r"\bnan\b", "null", out[out.index("{"):]))
    # A count still at -1 (before the first record was counted) makes biosig count the records.
    counted = case["counted"] or case["complete"]
    want = case["annotations"] + (case["uncounted"] if not case["counted"] else [])
    if case.get("ahead"):
        # A count one ahead of the data: biosig believes the header, and must read every whole
        # record as written (what it makes of the missing one is its own).
        expect(hdr["NumberOfRecords"] in (counted, case["ahead"]),
               f"{name}: records {hdr['NumberOfRecords']}")
        check_values(case, path, work, counted * case["samples"])
    else:
        expect(hdr["NumberOfRecords"] == counted, f"{name}: records {hdr['NumberOfRecords']}")
    rate = case["samples"]  # one-second records
    events = sorted(hdr.get("EVENT", []), key=lambda e: e["Description"])
    if case.get("ahead"):
        # Annotations from what is on disk of the promised record are real ones, at their times.
        extra = {a["text"] for a in case["uncounted"]}
        seen = {e["Description"] for e in events}
        expect(seen >= {w["text"] for w in want} and seen <= {w["text"] for w in want} | extra,
               f"{name}: events {sorted(seen)}")
        want = want + [a for a in case["uncounted"] if a["text"] in seen]
    want = sorted(want, key=lambda a: a["text"])
    expect([e["Description"] for e in events] == [w["text"] for w in want],
           f"{name}: events {[e['Description'] for e in events]}")
    for e, w in zip(events, want):
        # biosig places events on samples, counted in 32 bits, from the start second (it
        # leaves the start subsecond out).
        if w["onset"] * rate >= 2**31:
            continue
        near = min(abs(e["POS"] - w["onset"]), abs(e["POS"] - w["onset"] - case["subsecond"]))
        expect(near <= 1.0 / rate + 1e-6, f"{name}: {w['text']} at {e['POS']} != {w['onset']}")
    if name.startswith("limits"):
        check_values(case, path, work, len(case["values"]), exact_rows=True)


def check_values(case, path, work, n, exact_rows=False):
    """The first n values of signal 0 as biosig reads them (its CSV)."""
    name = case["file"]
    csv = os.path.join(work, name + ".csv")
    save2gdf("-CSV", path, csv)
    rows = [l.split(",") for l in open(csv).read().split("\n")[1:] if l.strip()]
    expect(len(rows) == n if exact_rows else len(rows) >= n, f"{name}: {len(rows)} CSV rows")
    # Printed with 6 significant digits.
    span = max(abs(v) for v in case["values"])
    for i, (row, w) in enumerate(zip(rows[:n], case["values"][:n])):
        expect(abs(float(row[0]) - w) <= case["step"] + 1e-5 * span,
               f"{name}: CSV row {i}: {row[0]} != {w}")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("mne", "biosig"):
        print(__doc__)
        return 2
    peer, program = sys.argv[1], sys.argv[2]
    if peer == "mne":
        try:
            import mne
        except ImportError:
            print("SKIP: MNE-Python is not installed (Debian package python3-mne)")
            return SKIP
        mne.set_log_level("ERROR")
    elif shutil.which("save2gdf") is None:
        print("SKIP: biosig's save2gdf is not installed (Debian package biosig-tools)")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="neurask-integrity-") as work:
        subprocess.run([program, work], check=True, timeout=300)
        cases = json.load(open(os.path.join(work, "manifest.json")))
        failures = 0
        for case in cases:
            path = os.path.join(work, case["file"])
            try:
                if peer == "mne":
                    check_mne(case, path)
                else:
                    check_biosig(case, path, work)
            except Mismatch as e:
                print(f"{peer}: MISMATCH {e}")
                failures += 1
            except Exception as e:  # a reader that crashes on a file fails the test too
                print(f"{peer}: {case['file']}: {type(e).__name__}: {e}")
                failures += 1
        print(f"{peer}: {len(cases) - failures} of {len(cases)} files read as written")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
