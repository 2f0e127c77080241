#!/usr/bin/env python3
"""Kills neurask-record with SIGKILL at random moments while it records from the simulated
headset, and reads every file it leaves with our reader, MNE-Python and biosig.

usage: crash_test.py BIN_DIR [--kills N] [--seed S]

BIN_DIR holds neurask-headset, neurask-record, recorder_readback and recorder_stimulus_driver.
Then one end-to-end run: a capture with light and sound stimulation and lost samples, recorded,
killed, read back by the three readers with every event at its onset; and neurask-record's exit
codes, a full disk (a file size limit) among them.
Prints the seconds lost per kill. A peer that is not installed is left out with a note.
"""
import argparse
import json
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PERIOD = 8800
STEP = PERIOD * 125e-9  # seconds per sample
UV_PER_COUNT = 256.0 / 255.0 / 2048.0 * 1000.0
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)
    return cond


def start_headset(bindir, work, *extra):
    link = os.path.join(work, "headset")
    sim = subprocess.Popen([os.path.join(bindir, "neurask-headset"), "--link", link,
                            "--deterministic", *extra], stdout=subprocess.PIPE, text=True)
    sim.stdout.readline()  # the port: ready
    return sim, link


def wait_line(proc, prefix, timeout):
    """The first line of proc's output that starts with prefix, and when it came."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        line = proc.stdout.readline()
        if not line:
            break
        if line.startswith(prefix):
            return line.strip(), time.monotonic()
    return None, None


def readback(bindir, path, period=None):
    cmd = [os.path.join(bindir, "recorder_readback"), path]
    if period:
        cmd += ["--period", str(period)]
    res = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    if not check(res.returncode == 0, f"our reader: {path}: {res.stderr.strip()}"):
        return None
    return json.loads(res.stdout)


def check_mne(path, ours):
    import mne
    import numpy as np

    mne.set_log_level("ERROR")
    raw = mne.io.read_raw_bdf(path, preload=True)
    name = os.path.basename(path)
    n = ours["records"] * ours["samples_per_record"]
    check(raw.n_times == n, f"mne: {name}: {raw.n_times} samples, ours {n}")
    check(abs(raw.info["sfreq"] - 1 / STEP) < 1e-9, f"mne: {name}: rate {raw.info['sfreq']}")
    want = np.array(ours["chan1"]) * UV_PER_COUNT
    got = raw.get_data()[0][: len(want)] * 1e6
    check(np.all(np.abs(got - want) <= 1e-6 * np.abs(want) + 1e-9), f"mne: {name}: microvolts")
    got = [(a["onset"], a["description"]) for a in raw.annotations]
    check(len(got) == len(ours["annotations"]), f"mne: {name}: {len(got)} annotations")
    for (onset, text), (o, t) in zip(sorted(got), sorted(ours["annotations"])):
        check(text == t and abs(onset - o) < 1e-6, f"mne: {name}: {text}@{onset} != {t}@{o}")


def check_biosig(path, ours):
    name = os.path.basename(path)
    res = subprocess.run(["save2gdf", "-JSON", path], capture_output=True, text=True, timeout=60)
    if not check(res.returncode == 0, f"biosig: {name}: {res.stderr.strip()}"):
        return
    out = res.stdout
    hdr = json.loads(re.sub(r"\bnan\b", "null", out[out.index("{"):]))
    check(hdr["NumberOfRecords"] == ours["records"], f"biosig: {name}: {hdr['NumberOfRecords']} records")
    check(abs(hdr["Samplingrate"] - 1 / STEP) < 1e-5, f"biosig: {name}: rate {hdr['Samplingrate']}")
    events = sorted((e["POS"], e["Description"]) for e in hdr.get("EVENT", []))
    check(len(events) == len(ours["annotations"]), f"biosig: {name}: {len(events)} events")
    for (pos, text), (o, t) in zip(events, sorted(ours["annotations"])):
        check(text == t and abs(pos - o) <= STEP + 1e-6, f"biosig: {name}: {text}@{pos} != {t}@{o}")


def kill_runs(bindir, work, kills, rng):
    files, lost = [], []
    for k in range(kills):
        sim, port = start_headset(bindir, work)
        out = os.path.join(work, f"kill{k}")
        os.mkdir(out)
        rec = subprocess.Popen([os.path.join(bindir, "neurask-record"), "--port", port,
                                "--period", str(PERIOD), "--output", out],
                               stdout=subprocess.PIPE, text=True)
        line, started = wait_line(rec, "recording to ", 15)
        if check(line is not None, f"kill {k}: no recording started"):
            # From the second record on (a kill within the first leaves an empty file).
            time.sleep(rng.uniform(1.6, 4.0))
            rec.send_signal(signal.SIGKILL)
            killed = time.monotonic()
            path = line[len("recording to "):]
            rec.wait()
            ours = readback(bindir, path, PERIOD)
            if ours:
                kept = ours["records"] * ours["samples_per_record"] * STEP
                lost.append(killed - started - kept)
                check(ours["differ"] == [], f"kill {k}: samples differ from the headset's")
                check(len(ours["annotations"]) >= 1, f"kill {k}: the capture start event is missing")
                files.append((path, ours))
        else:
            rec.kill()
            rec.wait()
        sim.terminate()
        sim.wait()
        if not files:
            break  # nothing recorded at all: the rest would fail the same way
    return files, lost


def stimulus_run(bindir, work):
    """Stimulation and losses, recorded and killed: every event at its onset."""
    sim, port = start_headset(bindir, work, "--drop-every", "700")
    out = os.path.join(work, "stimulus")
    os.mkdir(out)
    rec = subprocess.Popen([os.path.join(bindir, "recorder_stimulus_driver"), port, str(PERIOD), out],
                           stdout=subprocess.PIPE, text=True)
    line, _ = wait_line(rec, "recording ", 15)
    requests = {}
    if check(line is not None, "stimulus run: no recording started"):
        for _ in range(2):
            l, _ = wait_line(rec, "", 5)
            if l:
                kind, sample = l.split()
                requests[kind] = int(sample)
        time.sleep(1.5)
    rec.send_signal(signal.SIGKILL)
    rec.wait()
    sim.terminate()
    sim.wait()
    if line is None:
        return []
    path = line[len("recording "):]
    ours = readback(bindir, path, PERIOD)
    if not ours:
        return []
    check(set(requests) == {"light", "sound"}, f"stimulus run: requests {requests}")
    onsets = [o for o, _ in ours["annotations"]]
    # Every run of samples that differ from the headset's is a filled loss, with an event
    # at its first sample.
    runs = [i for n, i in enumerate(ours["differ"]) if n == 0 or ours["differ"][n - 1] != i - 1]
    check(len(runs) >= 2, f"stimulus run: {len(runs)} losses in {ours['records']} records")
    for i in runs:
        check(any(abs(o - i * STEP) <= STEP + 1e-6 for o in onsets), f"stimulus run: no event at loss {i}")
    # The stimulation replies: events within half a second after each request.
    for kind, sample in requests.items():
        t = sample * STEP
        near = [o for o in onsets if t - STEP <= o <= t + 0.5 and all(abs(o - i * STEP) > STEP for i in runs)]
        check(len(near) >= 1, f"stimulus run: no event after the {kind} request at {t:.3f} s")
    return [(path, ours)]


def exit_codes(bindir, work):
    """The documented exit codes: bad options, no headset, and a full disk (a file size limit)
    that stops the recording with every complete record kept."""
    record = os.path.join(bindir, "neurask-record")
    run = lambda *a, **k: subprocess.run([record, *a], capture_output=True, text=True, timeout=60, **k)
    check(run("--rate", "5").returncode == 2, "neurask-record --rate 5: not exit 2")
    check(run("--output", os.path.join(work, "missing", "dir")).returncode == 2, "missing folder: not exit 2")
    check(run("--port", os.path.join(work, "nothing"), "--search", "1").returncode == 3, "no headset: not exit 3")

    sim, port = start_headset(bindir, work)
    out = os.path.join(work, "full")
    os.mkdir(out)
    limit = 3840 + 3 * 32964 + 1000  # header, three records and a part of the fourth at 909 Hz

    def small_disk():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    res = run("--port", port, "--period", str(PERIOD), "--output", out, "--duration", "30",
              preexec_fn=small_disk)
    sim.terminate()
    sim.wait()
    check(res.returncode == 5, f"full disk: exit {res.returncode}, not 5: {res.stderr.strip()}")
    check("Запись остановлена" in res.stderr, f"full disk: no message: {res.stderr.strip()}")
    files = [os.path.join(out, f) for f in os.listdir(out)]
    ours = readback(bindir, files[0], PERIOD) if len(files) == 1 else None
    if check(ours is not None, f"full disk: files {files}"):
        check(ours["records"] == 3 and ours["differ"] == [], f"full disk: {ours['records']} records")
        return [(files[0], ours)]
    return []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bindir")
    parser.add_argument("--kills", type=int, default=10)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    print(f"seed {args.seed}")
    with tempfile.TemporaryDirectory(prefix="neurask-crash-") as work:
        files, lost = kill_runs(args.bindir, work, args.kills, rng)
        files += stimulus_run(args.bindir, work)
        files += exit_codes(args.bindir, work)
        try:
            import mne  # noqa: F401
            have_mne = True
        except ImportError:
            have_mne = False
            print("note: MNE-Python is not installed (python3-mne); left out")
        have_biosig = shutil.which("save2gdf") is not None
        if not have_biosig:
            print("note: biosig's save2gdf is not installed (biosig-tools); left out")
        for path, ours in files:
            if have_mne:
                check_mne(path, ours)
            if have_biosig:
                check_biosig(path, ours)
        if lost:
            print(f"kills {len(lost)}, files read by our reader {len(files)}, by MNE "
                  f"{len(files) if have_mne else 0}, by biosig {len(files) if have_biosig else 0}")
            print("seconds lost per kill: " + " ".join(f"{x:.2f}" for x in lost))
            print(f"mean {sum(lost) / len(lost):.2f} s, max {max(lost):.2f} s")
            check(max(lost) <= 2.0, f"a kill lost {max(lost):.2f} s")
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
