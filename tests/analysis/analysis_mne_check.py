#!/usr/bin/env python3
"""Band powers of neurask-analyze against MNE's Welch estimate.

usage: analysis_mne_check.py FILES_PROGRAM ANALYZE_PROGRAM

FILES_PROGRAM writes our own recordings (BDF+ at 909 Hz, EDF+ at 500 Hz); biosig's save2gdf
converts them to EDF and BDF of its own making (skipped when it is not installed). For each file
and a few choices of range, segment, overlap and window, neurask-analyze --csv gives the band
powers; MNE reads the same file, mne.time_frequency.psd_array_welch estimates the density with
the same segment, overlap and window, and each band's power (the lines from its lower edge up to,
not including, its upper edge, times the line spacing) must agree within 1 %, absolute and
relative, for every channel. A --csv that would overwrite the recording is refused. Exit status
77 (a skipped test) when MNE is not installed.
"""
import csv
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
BANDS = [("delta", 0.5, 4), ("theta", 4, 8), ("alpha", 8, 13), ("beta", 13, 30),
         ("gamma", 30, 45)]


def window_array(name, n):
    """The program's windows are symmetric (denominator n - 1)."""
    import scipy.signal.windows as w
    return {"hann": w.hann, "hamming": w.hamming, "rectangular": w.boxcar}[name](n, sym=True)


def band_power(psd, freqs, low, high):
    df = freqs[1] - freqs[0]
    tol = 1e-9 * df
    sel = (freqs >= low - tol) & (freqs < high - tol)
    return psd[..., sel].sum(axis=-1) * df


def mne_bands(path, t_from, t_to, seg_s, overlap_pct, window, bands):
    import numpy as np
    import mne

    reader = mne.io.read_raw_bdf if path.lower().endswith(".bdf") else mne.io.read_raw_edf
    raw = reader(path, preload=True, stim_channel=None, verbose="ERROR")
    fs = raw.info["sfreq"]
    data = raw.get_data() * 1e6  # volts to microvolts
    first = int(np.ceil(t_from * fs - 1e-9))
    last = data.shape[1] if t_to is None else int(np.ceil(t_to * fs - 1e-9))
    data = data[:, first:last]
    n = int(round(seg_s * fs))
    overlap = min(n - 1, int(round(n * overlap_pct / 100.0)))
    psd, freqs = mne.time_frequency.psd_array_welch(
        data, fs, fmin=0, fmax=np.inf, n_fft=n, n_per_seg=n, n_overlap=overlap,
        window=window_array(window, n), average="mean", verbose="ERROR")
    total = band_power(psd, freqs, 0.5, 45)
    out = {}
    for ch, name in enumerate(raw.ch_names):
        for band, low, high in bands:
            p = band_power(psd[ch], freqs, low, high)
            out[(ch, band)] = (name, p, 100 * p / total[ch])
    return out


def ours(analyze, path, work, args):
    out = os.path.join(work, "bands.csv")
    res = subprocess.run([analyze, path, "--csv", out, *args], capture_output=True, timeout=120)
    if res.returncode != 0:
        raise AssertionError(f"neurask-analyze {path} {args}: exit {res.returncode}: "
                             f"{res.stderr.decode('utf-8', 'replace')}")
    with open(out, encoding="utf-8", newline="") as f:
        header = f.readline().strip()
        assert header == "channel,band,low_hz,high_hz,absolute_uv2,relative_percent", header
        rows = list(csv.reader(f))
    return rows


def compare(analyze, path, work, t_from=0.0, t_to=None, seg=2.0, overlap=50, window="hann",
            bands=None):
    args = ["--from", str(t_from), "--segment", str(seg), "--overlap", str(overlap),
            "--window", window]
    if t_to is not None:
        args += ["--to", str(t_to)]
    if bands is not None:
        args += ["--bands", ",".join(f"{b}:{lo}-{hi}" for b, lo, hi in bands)]
    rows = ours(analyze, path, work, args)
    want = mne_bands(path, t_from, t_to, seg, overlap, window, bands or BANDS)
    names = bands or BANDS
    assert len(rows) == len(want), f"{path}: {len(rows)} rows, MNE {len(want)}"
    worst = 0.0
    for i, row in enumerate(rows):
        ch, b = divmod(i, len(names))
        label, band, low, high, absolute, relative = row
        name, p, rel = want[(ch, names[b][0])]
        assert label == name.rstrip(), f"{path}: channel {label!r} != {name!r}"
        assert band == names[b][0] and float(low) == names[b][1] and float(high) == names[b][2]
        for mine, theirs, what in ((float(absolute), p, "absolute"),
                                   (float(relative), rel, "relative")):
            err = abs(mine - theirs) / abs(theirs)
            worst = max(worst, err)
            assert err < 0.01, (f"{os.path.basename(path)} {args}: {label} {band} {what} "
                                f"{mine} vs MNE {theirs} ({100 * err:.3f} %)")
    print(f"{os.path.basename(path)} {' '.join(args)}: {len(rows)} band powers, "
          f"largest difference {100 * worst:.4f} %")


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    try:
        import mne  # noqa: F401
        import scipy  # noqa: F401
    except ImportError:
        print("SKIP: MNE-Python is not installed (Debian package python3-mne)")
        return SKIP
    files_program, analyze = sys.argv[1:]
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([files_program, work], check=True, timeout=120)
        own = [os.path.join(work, "own909.bdf"), os.path.join(work, "own500.edf")]
        files = list(own)
        if shutil.which("save2gdf"):
            for src, fmt, dst in ((own[0], "EDF", "biosig909.edf"),
                                  (own[1], "BDF", "biosig500.bdf")):
                dst = os.path.join(work, dst)
                subprocess.run(["save2gdf", f"-f={fmt}", src, dst], check=True,
                               capture_output=True, timeout=120)
                files.append(dst)
        else:
            print("biosig's save2gdf is not installed: our own recordings only")
        for path in files:
            compare(analyze, path, work)
        # Other segments, overlaps, windows, ranges and bands.
        compare(analyze, files[0], work, t_from=3.5, t_to=41.25, seg=1.0, overlap=25,
                window="hamming")
        compare(analyze, files[-1], work, t_from=10, seg=4.0, overlap=0, window="rectangular",
                bands=[("slow", 1, 3.5), ("mu", 8.5, 12), ("high", 44, 60)])
        # A CSV that is the recording itself, by another spelling or as a sibling, is
        # refused and the recording kept.
        victim = os.path.join(work, "rec-stats.edf")
        shutil.copy(own[1], victim)
        before = open(victim, "rb").read()
        for out in (os.path.join(work, ".", "rec-stats.edf"), os.path.join(work, "rec.edf")):
            res = subprocess.run([analyze, victim, "--csv", out], capture_output=True, timeout=120)
            assert res.returncode == 2 and b"rec-stats.edf" in res.stderr, (out, res)
            assert open(victim, "rb").read() == before, f"--csv {out} overwrote the recording"
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
