#!/usr/bin/env python3
"""neurask-record runs an examination against the simulated headset: electrode names, the
patient's details, marks read from standard input and a protocol with two light trains. MNE
reads the file back; the header's identification fields are read as bytes.

usage: exam_record_test.py BIN_DIR
"""
import os
import subprocess
import sys
import tempfile
import time

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def main():
    bindir = sys.argv[1]
    work = tempfile.mkdtemp(prefix="exam-record-")
    link = os.path.join(work, "headset")
    sim = subprocess.Popen([os.path.join(bindir, "neurask-headset"), "--link", link],
                           stdout=subprocess.PIPE, text=True)
    sim.stdout.readline()
    protocol = os.path.join(work, "protocol.txt")
    with open(protocol, "w", encoding="utf-8") as f:
        f.write("name Проба\nmark Начало\nlight 10 1.5 100\nrest 0.5\nlight 30 1 50\nmark Конец\n")
    env = dict(os.environ, NEURASK_EXTRA_PORTS=link)
    rec = subprocess.Popen(
        [os.path.join(bindir, "neurask-record"), "--output", work, "--rate", "500",
         "--duration", "5", "--labels", "Fp1,Fp2,F3,F4,C3,C4,P3,P4,O1,O2,T3,T4",
         "--patient-code", "MCH 9", "--patient-name", "Иванов Пётр", "--sex", "M",
         "--birthdate", "1970-05-04", "--technician", "Сидорова", "--protocol", protocol],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    started = None
    written = None
    for line in rec.stdout:
        if line.startswith("protocol: ") and started is None:
            started = time.monotonic()
            time.sleep(1.2)
            written = time.monotonic() - started
            rec.stdin.write("Глаза закрыты\n")
            rec.stdin.flush()
        if line.startswith("protocol done"):
            break
    rec.stdin.close()
    code = rec.wait(timeout=30)
    sim.terminate()
    sim.wait()
    check(code == 0, "neurask-record exit %s" % code)
    files = [os.path.join(work, n) for n in os.listdir(work) if n.endswith(".bdf")]
    check(len(files) == 1, "one file: %s" % files)
    if failures:
        return 1
    with open(files[0], "rb") as f:
        head = f.read(168)
    check(head[8:88].split() == [b"MCH_9", b"M", b"04-MAY-1970", b"Ivanov_Pyotr"],
          "patient field %r" % head[8:88])
    check(head[88:168].split()[3:5] == [b"Sidorova", b"Neurask"], "recording field %r" % head[88:168])
    try:
        import mne
    except ImportError:
        print("MNE-Python is not installed: the annotations are not read back")
        return 1 if failures else 0
    raw = mne.io.read_raw_bdf(files[0], verbose="error")
    check(raw.ch_names[8] == "EEG O1", "labels %s" % raw.ch_names)
    notes = [(a["onset"], a["duration"], a["description"]) for a in raw.annotations]
    by_text = {d: (o, dur) for o, dur, d in notes}
    for text in ("Начало", "Конец", "Глаза закрыты", "Фотостимуляция 10 Гц",
                 "Фотостимуляция 29.985 Гц"):
        check(text in by_text, "%s in %s" % (text, [d for _, _, d in notes]))
    if failures:
        return 1
    check(abs(by_text["Фотостимуляция 10 Гц"][1] - 1.5) < 1e-6, "10 Hz train of 1.5 s")
    check(abs(by_text["Фотостимуляция 29.985 Гц"][1] - 1.0005) < 1e-6, "30 Hz train of 1.0005 s")
    # Each train where the headset confirmed its light start.
    confirmed = [o for o, _, d in notes if d.startswith("Свет ")]
    check(len(confirmed) == 2 and abs(confirmed[0] - by_text["Фотостимуляция 10 Гц"][0]) < 0.003,
          "trains at their confirmations: %s" % notes)
    # The mark at the moment its line was written (the capture began as its note came).
    check(abs(by_text["Глаза закрыты"][0] - written) < 0.15,
          "mark at %.3f s, written at %.3f s" % (by_text["Глаза закрыты"][0], written))
    print("%d annotations; mark %.3f s after the capture began, written at %.3f s"
          % (len(notes), by_text["Глаза закрыты"][0], written))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
