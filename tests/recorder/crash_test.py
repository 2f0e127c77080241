#!/usr/bin/env python3
"""Kills neurask-record with SIGKILL at random moments while it records from the simulated
headset, and reads every file it leaves with our reader, MNE-Python and biosig.

usage: crash_test.py BIN_DIR [--kills N] [--seed S]

BIN_DIR holds neurask-headset, neurask-record, recorder_readback and recorder_stimulus_driver.
Then one end-to-end run: a capture with light and sound stimulation and lost samples, recorded,
killed, read back by the three readers with every event at its onset; dense losses (10 and 50
notes a second) recorded and killed or stopped: no note lost but those of the last two seconds,
the file no longer than its data by more than a record; kills at 122, 500 and 909 Hz; and
neurask-record's exit codes, a full disk (a file size limit), a removed output folder, a signal
before any capture and a --duration that spans a reconnection among them.
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
    # A kill between a record's sync and its count leaves a whole record the header does not
    # count yet: MNE reads it, ours leaves it out.
    check(raw.n_times in (n, n + ours["samples_per_record"]),
          f"mne: {name}: {raw.n_times} samples, ours {n}")
    length = ours["records"] * ours["record_duration"]
    step = ours["record_duration"] / ours["samples_per_record"]
    check(abs(raw.info["sfreq"] - 1 / step) < 1e-9, f"mne: {name}: rate {raw.info['sfreq']}")
    want = np.array(ours["chan1"]) * UV_PER_COUNT
    got = raw.get_data()[0][: len(want)] * 1e6
    check(np.all(np.abs(got - want) <= 1e-6 * np.abs(want) + 1e-9), f"mne: {name}: microvolts")
    got = [(a["onset"], a["description"]) for a in raw.annotations
           if a["onset"] < length - 1e-9 or raw.n_times == n]
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
    step = ours["record_duration"] / ours["samples_per_record"]
    check(abs(hdr["Samplingrate"] - 1 / step) < 1e-5, f"biosig: {name}: rate {hdr['Samplingrate']}")
    events = sorted((e["POS"], e["Description"]) for e in hdr.get("EVENT", []))
    check(len(events) == len(ours["annotations"]), f"biosig: {name}: {len(events)} events")
    for (pos, text), (o, t) in zip(events, sorted(ours["annotations"])):
        check(text == t and abs(pos - o) <= step + 1e-6, f"biosig: {name}: {text}@{pos} != {t}@{o}")


def kill_runs(bindir, work, kills, rng, period=PERIOD):
    files, lost = [], []
    step = period * 125e-9
    for k in range(kills):
        sim, port = start_headset(bindir, work)
        out = os.path.join(work, f"kill{period}-{k}")
        os.mkdir(out)
        rec = subprocess.Popen([os.path.join(bindir, "neurask-record"), "--port", port,
                                "--period", str(period), "--output", out],
                               stdout=subprocess.PIPE, text=True)
        line, started = wait_line(rec, "recording to ", 15)
        if check(line is not None, f"kill {k}: no recording started"):
            # From the second record on (a kill within the first leaves an empty file).
            time.sleep(rng.uniform(1.6, 4.0))
            rec.send_signal(signal.SIGKILL)
            killed = time.monotonic()
            path = line[len("recording to "):]
            rec.wait()
            ours = readback(bindir, path, period)
            if ours:
                kept = ours["records"] * ours["samples_per_record"] * step
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


def loss_notes(ours):
    """Runs of filled samples in the file, and how many of them no loss note covers (a merged
    note covers the runs from its onset to its onset plus its duration)."""
    step = ours["record_duration"] / ours["samples_per_record"]
    # The copies that complete the last record are no loss.
    ends = [o for (o, t) in ours["annotations"] if t == "Конец данных"]
    end = round(ends[0] / step) if ends else ours["records"] * ours["samples_per_record"]
    differ = [i for i in ours["differ"] if i < end]
    runs = [i for n, i in enumerate(differ) if n == 0 or differ[n - 1] != i - 1]
    notes = [(o, max(d, 0.0)) for (o, t), d in zip(ours["annotations"], ours["durations"])
             if t.startswith("Потер")]
    missing = [i for i in runs
               if not any(o - step - 1e-6 <= i * step <= o + d + step + 1e-6 for o, d in notes)]
    return runs, missing


def dense_runs(bindir, work):
    """Losses every 10 and every 50 samples at 500 Hz (50 and 10 notes a second), and every 500
    (1 a second): killed, no note is lost but those of the last two seconds; stopped, the file
    is no longer than its data by more than one record. Returns the files for the peers."""
    files = []
    period = 16000
    step = period * 125e-9
    for every, how in (("50", "kill"), ("10", "kill"), ("500", "stop"), ("10", "stop")):
        sim, port = start_headset(bindir, work, "--drop-every", every)
        out = os.path.join(work, f"dense{every}{how}")
        os.mkdir(out)
        rec = subprocess.Popen([os.path.join(bindir, "neurask-record"), "--port", port,
                                "--period", str(period), "--output", out],
                               stdout=subprocess.PIPE, text=True)
        line, started = wait_line(rec, "recording to ", 15)
        if not check(line is not None, f"dense {every}: no recording started"):
            rec.kill()
            rec.wait()
            sim.terminate()
            sim.wait()
            continue
        time.sleep(9.5)
        rec.send_signal(signal.SIGKILL if how == "kill" else signal.SIGTERM)
        rec.wait()
        sim.terminate()
        sim.wait()
        path = line[len("recording to "):]
        ours = readback(bindir, path, period)
        if not ours:
            continue
        files.append((path, ours))
        length = ours["records"] * ours["record_duration"]
        runs, missing = loss_notes(ours)
        late = [i for i in missing if i * step < length - 2.0]
        per_second = 500.0 / int(every)
        print(f"dense {per_second:g} losses/s, {how}: {len(runs)} losses in {length:.2f} s of file, "
              f"{len(missing)} without a note ({len(late)} of them before the last 2 s)")
        check(not late, f"dense {every} {how}: notes lost before the last 2 s: {late[:5]}")
        check(len(ours["annotations"]) <= ours["records"] * 4,
              f"dense {every} {how}: {len(ours['annotations'])} notes in {ours['records']} records")
        if how == "stop":
            ends = [o for (o, t) in ours["annotations"] if t == "Конец данных"]
            data = ends[0] if ends else length
            print(f"dense {per_second:g} events/s: file {length:.3f} s for {data:.3f} s of data")
            check(length - data < ours["record_duration"] + 1e-6,
                  f"dense {every}: file {length:.3f} s for {data:.3f} s of data")
            check(not missing, f"dense {every} stop: losses without a note: {missing[:5]}")
    return files


def edge_exits(bindir, work):
    """A removed output folder is a failure (exit 5 within 5 s); a signal before any capture
    exits 3; --duration is the run's total, a reconnection included."""
    record = os.path.join(bindir, "neurask-record")
    sim, port = start_headset(bindir, work)
    out = os.path.join(work, "vanishing")
    os.mkdir(out)
    rec = subprocess.Popen([record, "--port", port, "--output", out, "--duration", "20"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line, _ = wait_line(rec, "recording to ", 15)
    if check(line is not None, "vanishing folder: no recording started"):
        time.sleep(2)
        shutil.rmtree(out)
        removed = time.monotonic()
        try:
            rec.wait(timeout=10)
        except subprocess.TimeoutExpired:
            rec.kill()
            rec.wait()
        took = time.monotonic() - removed
        err = rec.stderr.read()
        print(f"removed folder: exit {rec.returncode} after {took:.2f} s")
        check(rec.returncode == 5, f"removed folder: exit {rec.returncode}, not 5: {err.strip()}")
        check(took <= 5.5, f"removed folder: noticed after {took:.2f} s")
        check("недоступен" in err, f"removed folder: no reason given: {err.strip()}")
    else:
        rec.kill()
        rec.wait()
    sim.terminate()
    sim.wait()

    rec = subprocess.Popen([record, "--port", os.path.join(work, "nothing"), "--search", "30"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1)
    rec.send_signal(signal.SIGINT)
    rec.wait(timeout=10)
    check(rec.returncode == 3, f"SIGINT while searching: exit {rec.returncode}, not 3")

    # 10 s in all, the headset gone for a second after 2 s: two files, about 10 s of run.
    link = os.path.join(work, "returning")
    out = os.path.join(work, "reconnect")
    os.mkdir(out)
    sim = subprocess.Popen([os.path.join(bindir, "neurask-headset"), "--link", link],
                           stdout=subprocess.PIPE, text=True)
    sim.stdout.readline()
    rec = subprocess.Popen([record, "--port", link, "--output", out, "--duration", "10"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line, started = wait_line(rec, "recording to ", 15)
    if check(line is not None, "reconnect: no recording started"):
        time.sleep(2)
        sim.terminate()
        sim.wait()
        time.sleep(1)
        sim = subprocess.Popen([os.path.join(bindir, "neurask-headset"), "--link", link],
                               stdout=subprocess.PIPE, text=True)
        sim.stdout.readline()
        try:
            rec.wait(timeout=20)
        except subprocess.TimeoutExpired:
            rec.kill()
            rec.wait()
        took = time.monotonic() - started
        files = os.listdir(out)
        print(f"--duration 10 with a reconnection: {took:.2f} s, {len(files)} files")
        check(rec.returncode == 0 and 9.5 <= took <= 12.5,
              f"--duration 10: exit {rec.returncode} after {took:.2f} s")
        check(len(files) == 2, f"--duration 10 with a reconnection: files {files}")
    else:
        rec.kill()
        rec.wait()
    sim.terminate()
    sim.wait()


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
    limit = 4352 + 3 * 33204 + 1000  # header, three records and a part of the fourth at 909 Hz

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
        by_rate = {}
        for period in (65535, 16000):
            more, by_rate[period] = kill_runs(args.bindir, work, 3, rng, period)
            files += more
        by_rate[PERIOD] = lost
        files += stimulus_run(args.bindir, work)
        files += dense_runs(args.bindir, work)
        files += exit_codes(args.bindir, work)
        edge_exits(args.bindir, work)
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
            for period, seconds in sorted(by_rate.items()):
                if seconds:
                    print(f"{8e6 / period:.1f} Hz: seconds lost per kill "
                          + " ".join(f"{x:.2f}" for x in seconds) + f", max {max(seconds):.2f}")
                    check(max(seconds) <= 2.0, f"{8e6 / period:.1f} Hz: a kill lost {max(seconds):.2f} s")
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
