#!/usr/bin/env python3
"""Checks files written by the recording-file module with an independent reader.

usage: edf_peer_check.py mne|biosig WRITER

WRITER is the edf_peer_writer program. It writes an EDF+ and a BDF+ file and, next to each, a
JSON description of the header fields, every sample's digital value and the annotations. The
reader named first must report the same. Exit status 77 (a skipped test for ctest) when the
reader is not installed.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
UNIT_SCALE = {"uV": 1e-6, "mV": 1e-3, "V": 1.0}


class Mismatch(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Mismatch(what)


def close(a, b, tol):
    return abs(a - b) <= tol


def physical(sig, digital):
    """Physical value of a digital one, from the header's ranges."""
    bit = (sig["phys_max"] - sig["phys_min"]) / (sig["dig_max"] - sig["dig_min"])
    offset = sig["phys_max"] / bit - sig["dig_max"]
    return bit * (offset + digital)


def check_mne(want, path):
    import numpy as np
    import mne

    mne.set_log_level("ERROR")
    reader = mne.io.read_raw_bdf if want["bdf"] else mne.io.read_raw_edf
    raw = reader(path, preload=True, stim_channel=None)
    sigs = want["signals"]
    name = os.path.basename(path)
    expect(raw.ch_names == [s["label"] for s in sigs], f"{name}: labels {raw.ch_names}")
    rate = sigs[0]["samples"] / want["record_duration"]
    expect(close(raw.info["sfreq"], rate, 1e-9), f"{name}: rate {raw.info['sfreq']} != {rate}")
    expect(raw.n_times == want["records"] * sigs[0]["samples"], f"{name}: n_times {raw.n_times}")
    start = raw.info["meas_date"]
    expect(
        (start.year, start.month, start.day, start.hour, start.minute, start.second)
        == tuple(want["start"]),
        f"{name}: start {start}",
    )
    extra = raw._raw_extras[0]
    expect(extra["n_records"] == want["records"], f"{name}: records {extra['n_records']}")
    expect(
        close(float(extra["record_length"][0]), want["record_duration"], 1e-9),
        f"{name}: record length {extra['record_length']}",
    )
    for i, s in enumerate(sigs):
        expect(int(extra["n_samps"][i]) == s["samples"], f"{name}: samples of {s['label']}")
        expect(close(float(extra["digital_max"][i]), s["dig_max"], 0), f"{name}: dig max {i}")
        expect(close(float(extra["physical_max"][i]), s["phys_max"], 1e-9), f"{name}: phys max {i}")
        expect(
            close(float(extra["units"][i]), UNIT_SCALE[s["dimension"]], 1e-15),
            f"{name}: unit of {s['label']}",
        )
    data = raw.get_data()
    for i, s in enumerate(sigs):
        values = np.array([physical(s, d) for d in s["digital"]]) * UNIT_SCALE[s["dimension"]]
        got = data[i]
        tol = 1e-9 * max(abs(s["phys_min"]), abs(s["phys_max"])) * UNIT_SCALE[s["dimension"]]
        bad = np.nonzero(np.abs(got - values) > tol)[0]
        expect(len(bad) == 0, f"{name}: {s['label']} sample {bad[:1]} {got[bad[:1]]} != {values[bad[:1]]}")
    ann = raw.annotations
    expect(len(ann) == len(want["annotations"]), f"{name}: {len(ann)} annotations")
    for a, w in zip(ann, want["annotations"]):
        expect(a["description"] == w["text"], f"{name}: annotation text {a['description']!r}")
        expect(close(a["onset"], w["onset"], 1e-6), f"{name}: onset {a['onset']} != {w['onset']}")
        dur = max(w["duration"], 0.0)
        expect(close(a["duration"], dur, 1e-6), f"{name}: duration {a['duration']} != {dur}")


def save2gdf(*args):
    res = subprocess.run(["save2gdf", *args], capture_output=True, text=True, timeout=120)
    if res.returncode != 0:
        raise Mismatch(f"save2gdf {' '.join(args)} failed: {res.stderr.strip()}")
    return res.stdout


def check_biosig(want, path, work):
    name = os.path.basename(path)
    sigs = want["signals"]
    out = save2gdf("-JSON", path)
    # The JSON follows a line naming the file; non-numbers appear as bare nan.
    text = re.sub(r"\bnan\b", "null", out[out.index("{"):])
    hdr = json.loads(text)
    expect(hdr["TYPE"] == ("BDF" if want["bdf"] else "EDF"), f"{name}: type {hdr['TYPE']}")
    expect(hdr["NumberOfChannels"] == len(sigs) + 1, f"{name}: channels {hdr['NumberOfChannels']}")
    expect(hdr["NumberOfRecords"] == want["records"], f"{name}: records {hdr['NumberOfRecords']}")
    expect(hdr["SamplesPerRecords"] == sigs[0]["samples"], f"{name}: samples per record")
    rate = sigs[0]["samples"] / want["record_duration"]
    expect(close(hdr["Samplingrate"], rate, 1e-6), f"{name}: rate {hdr['Samplingrate']}")
    y, mo, d, h, mi, s = want["start"]
    stamp = f"{y:04d}-{mo:02d}-{d:02d} {h:02d}:{mi:02d}:{s:02d}"
    # biosig keeps time in a binary fraction of a day, so the stamp may read a few us early.
    got = hdr["StartOfRecording"]
    expect(got.startswith(stamp) or got.startswith(stamp[:-2] + f"{s - 1:02d}.9999"), f"{name}: start {got}")
    patient = hdr["Patient"]
    expect(patient["Id"].split()[0] == "MCH-0234567", f"{name}: patient {patient['Id']!r}")
    expect(patient["Gender"] == "Female", f"{name}: sex {patient['Gender']}")
    for i, s in enumerate(sigs):
        ch = hdr["CHANNEL"][i]
        expect(ch["Label"] == s["label"], f"{name}: label {ch['Label']!r}")
        expect(ch.get("Transducer", "") == s["transducer"], f"{name}: transducer {i}")
        expect(ch["PhysicalUnit"] == s["dimension"], f"{name}: unit {ch['PhysicalUnit']!r}")
        # biosig prints these with 6 significant digits.
        expect(close(ch["PhysicalMaximum"], s["phys_max"], 1e-5 * abs(s["phys_max"])), f"{name}: phys max {i}")
        expect(close(ch["PhysicalMinimum"], s["phys_min"], 1e-5 * abs(s["phys_min"])), f"{name}: phys min {i}")
        expect(ch["DigitalMaximum"] == s["dig_max"], f"{name}: dig max {i}")
        expect(ch["DigitalMinimum"] == s["dig_min"], f"{name}: dig min {i}")
    annotation = hdr["CHANNEL"][len(sigs)]
    expect(annotation["Label"] == ("BDF" if want["bdf"] else "EDF") + " Annotations", f"{name}: annotation signal")
    events = hdr.get("EVENT", [])
    expect(len(events) == len(want["annotations"]), f"{name}: {len(events)} events")
    step = 1.0 / rate + 1e-6  # biosig places events on samples
    for e, w in zip(events, want["annotations"]):
        expect(e["Description"] == w["text"], f"{name}: event text {e['Description']!r}")
        expect(close(e["POS"], w["onset"], step), f"{name}: event at {e['POS']} != {w['onset']}")
        expect(close(e["DUR"], max(w["duration"], 0.0), step), f"{name}: event duration {e['DUR']}")

    # Digital values exactly, through biosig's raw binary export (one file per channel).
    base = os.path.join(work, name.replace(".", "_") + "_raw")
    save2gdf("-f=BIN", path, base)
    types = re.findall(r"GDFTYP\s*=\s*(\w+)", open(base).read())
    expect(len(types) >= len(sigs), f"{name}: binary export lists {types}")
    for i, s in enumerate(sigs):
        raw = open(f"{base}.s{i + 1:02d}", "rb").read()
        width = {"int16": 2, "bit24": 3, "int24": 3, "int32": 4}[types[i]]
        values = [
            int.from_bytes(raw[k : k + width], "little", signed=True) for k in range(0, len(raw), width)
        ]
        expect(values == s["digital"], f"{name}: {s['label']} digital values differ")

    # Physical values through the CSV export (printed with 6 significant digits).
    csv = os.path.join(work, name + ".csv")
    save2gdf("-CSV", path, csv)
    lines = open(csv).read().split("\n")
    head = [c.strip('"') for c in lines[0].split(",")]
    expect(head == [f"{s['label']} [{s['dimension']}]" for s in sigs], f"{name}: CSV columns {head}")
    rows = [l.split(",") for l in lines[1:] if l.strip()]
    expect(len(rows) == want["records"] * sigs[0]["samples"], f"{name}: CSV rows {len(rows)}")
    for i, s in enumerate(sigs):
        span = max(abs(s["phys_min"]), abs(s["phys_max"]))
        for k, (row, d) in enumerate(zip(rows, s["digital"])):
            value = physical(s, d)
            expect(close(float(row[i]), value, 1e-5 * span), f"{name}: {s['label']} CSV row {k}: {row[i]} != {value}")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("mne", "biosig"):
        print(__doc__)
        return 2
    peer, writer = sys.argv[1], sys.argv[2]
    if peer == "mne":
        try:
            import mne  # noqa: F401
        except ImportError:
            print("SKIP: MNE-Python is not installed (Debian package python3-mne)")
            return SKIP
    elif shutil.which("save2gdf") is None:
        print("SKIP: biosig's save2gdf is not installed (Debian package biosig-tools)")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="neurask-peer-") as work:
        subprocess.run([writer, work], check=True, timeout=120)
        failures = 0
        for name in ("peer.edf", "peer.bdf"):
            path = os.path.join(work, name)
            want = json.load(open(path + ".json"))
            try:
                if peer == "mne":
                    check_mne(want, path)
                else:
                    check_biosig(want, path, work)
                print(f"{peer}: {name} matches")
            except Mismatch as e:
                print(f"{peer}: MISMATCH {e}")
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
