#!/usr/bin/env python3
"""Large-file benchmark: one file of pseudo-random bytes (seeded) in two releases, the new one
with 16 bytes changed in every MiB and 64 KiB of new bytes inserted in the middle. For each size,
`mendsmith build` makes the updater; the build's wall time and peak resident memory come from
/usr/bin/time -v. Beside them, from the same run: bzip2 of the bytes that changed (what any patch
must carry, packed) and, at --compare-size, the suffix-array engine against the bounded matcher
on the same kind of pair. --apply runs the largest size's updater with the x86-64 test stub
under Wine (build/win64, package at 0x10000) and samples the updater process's peak memory.

    python3 bench/large_file.py [--sizes 1024,3072] [--quick] [--apply]

Files go to build/bench-large and are removed at the end.
"""
import argparse
import bz2
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
MIB = 1 << 20
CHUNK = 64 * MIB
INSERT = 64 * 1024
STUB_PACKAGE_OFFSET = 0x7A00
X64_PACKAGE_OFFSET = 0x10000
SETUP = (b"[App]\r\nAppName=Large file\r\nMainFile=data.pak\r\n"
         b"[Path]\r\nSoftWarePath=C:\\Program Files\\Large\r\n")
MARKERS = (b"Mendsmith applies difference bodies (kind 4)" + b"Mendsmith applies removal bodies (kind 6)")


def make_pair(folder, size, seed):
    """Writes old/data.pak and new/data.pak; returns the changed and inserted bytes."""
    rng = random.Random(seed)
    (folder / "old").mkdir(parents=True, exist_ok=True)
    (folder / "new").mkdir(parents=True, exist_ok=True)
    changed = bytearray()
    middle = size // 2
    inserted = rng.randbytes(INSERT)
    with open(folder / "old" / "data.pak", "wb") as old, open(folder / "new" / "data.pak", "wb") as new:
        for start in range(0, size, CHUNK):
            data = rng.randbytes(min(CHUNK, size - start))
            old.write(data)
            data = bytearray(data)
            for mib in range(0, len(data), MIB):
                for _ in range(16):
                    at = mib + rng.randrange(min(MIB, len(data) - mib))
                    data[at] ^= rng.randrange(1, 256)
                    changed += data[at:at + 1]
            if start <= middle < start + len(data):
                cut = middle - start
                new.write(data[:cut])
                new.write(inserted)
                new.write(data[cut:])
            else:
                new.write(data)
    return bytes(changed) + inserted


def timed(command):
    """Runs command under /usr/bin/time -v: (exit code, seconds, peak MiB, output)."""
    run = subprocess.run(["/usr/bin/time", "-v"] + command, capture_output=True, text=True)
    seconds = peak = 0.0
    for line in run.stderr.splitlines():
        line = line.strip()
        if line.startswith("Elapsed (wall clock) time"):
            parts = [float(p) for p in line.rsplit(" ", 1)[1].split(":")]
            seconds = sum(p * 60 ** i for i, p in enumerate(reversed(parts)))
        elif line.startswith("Maximum resident set size"):
            peak = int(line.rsplit(" ", 1)[1]) / 1024
    return run.returncode, seconds, peak, run.stdout + run.stderr


def build(tool, folder, stub, name, memory):
    out = folder / name
    command = [str(tool), "build", str(folder / "old"), str(folder / "new"), "--setup", str(folder / "Update.ini"),
               "--stub", str(stub), "-o", str(out), "-j", "1"]
    if memory:
        command += ["--memory", memory]
    code, seconds, peak, output = timed(command)
    if code != 0:
        sys.exit(f"mendsmith build failed:\n{output}")
    bounded = "matched in bounded memory" in output
    return {"size": out.stat().st_size, "seconds": seconds, "peak": peak, "bounded": bounded, "path": out}


def row(label, figures):
    engine = "bounded" if figures["bounded"] else "suffix array"
    return (f"| {label} | {engine} | {figures['size']:,} B | {figures['seconds']:.1f} s | "
            f"{figures['peak']:,.0f} MiB |")


def windows_path(path):
    return "Z:" + str(path.resolve()).replace("/", "\\")


def apply_x64(folder, updater, win64):
    """Runs the updater rebuilt around the x86-64 test stub on a copy of the old release under Wine;
    returns (outcome, seconds, peak resident MiB, peak private MiB) of the updater process."""
    stub = win64 / "stub-padded.bin"
    driver = win64 / "tests" / "e2e" / "driver.exe"
    if not stub.exists() or not driver.exists():
        return (f"not run: build {stub} and {driver} first (cmake --build --preset win64 "
                f"--target mendsmith_stub driver)", 0, 0, 0)
    image = updater.read_bytes()
    x64 = folder / "large-update-x64.exe"
    with open(x64, "wb") as out:
        out.write(stub.read_bytes().ljust(X64_PACKAGE_OFFSET, b"\0"))
        out.write(image[STUB_PACKAGE_OFFSET:])
    installed = folder / "installed"
    shutil.rmtree(installed, ignore_errors=True)
    installed.mkdir()
    shutil.copyfile(folder / "old" / "data.pak", installed / "data.pak")
    script = (f'source scripts/wine-env.sh && prepare_wine && "$WINELOADER" "{driver}" '
              f'"{windows_path(x64)}" --dest "{windows_path(installed)}" --no-backup --update')
    peaks = {"VmHWM": 0, "RssAnon": 0}
    done = threading.Event()

    def sample():
        while not done.is_set():
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    if b"large-update-x64" not in Path(f"/proc/{pid}/cmdline").read_bytes():
                        continue
                    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
                        key = line.split(":")[0]
                        if key in peaks:
                            peaks[key] = max(peaks[key], int(line.split()[1]))
                except OSError:
                    pass
            time.sleep(0.5)

    sampler = threading.Thread(target=sample)
    sampler.start()
    started = time.monotonic()
    run = subprocess.run(["bash", "-c", script], cwd=TOP, capture_output=True, text=True)
    seconds = time.monotonic() - started
    done.set()
    sampler.join()
    (folder / "apply.log").write_text(run.stdout + run.stderr)
    messages = [line for line in run.stdout.splitlines() if line.startswith("message:")]
    same = subprocess.run(["cmp", "-s", str(installed / "data.pak"), str(folder / "new" / "data.pak")]).returncode == 0
    outcome = ("updated" if same else "not updated") + (f" ({'; '.join(messages)})" if messages else "")
    return outcome, seconds, peaks["VmHWM"] / 1024, peaks["RssAnon"] / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", type=Path, default=TOP / "build/host/tool/mendsmith")
    parser.add_argument("--sizes", default="1024,3072", help="file sizes in MiB")
    parser.add_argument("--quick", action="store_true", help="one 64 MiB file and a 32 MiB comparison")
    parser.add_argument("--memory", default="4G", help="mendsmith build --memory for the large files")
    parser.add_argument("--compare-size", type=int, default=256, help="MiB; both engines on one pair")
    parser.add_argument("--apply", action="store_true", help="apply the largest updater under Wine")
    parser.add_argument("--win64", type=Path, default=TOP / "build/win64", help="tree with the x86-64 test stub")
    parser.add_argument("--work", type=Path, default=TOP / "build/bench-large")
    parser.add_argument("--seed", type=int, default=22)
    args = parser.parse_args()
    sizes = [64] if args.quick else [int(s) for s in args.sizes.split(",")]
    compare = 32 if args.quick else args.compare_size

    shutil.rmtree(args.work, ignore_errors=True)
    args.work.mkdir(parents=True)
    stub = args.work / "stub.bin"
    stub.write_bytes(b"S" * 500 + MARKERS + b"S" * 500)
    print(f"mendsmith build, {os.cpu_count()} cores; 16 bytes changed per MiB, 64 KiB inserted in the middle")
    print("| file | engine | updater | build time | peak memory |")
    print("|---|---|---|---|---|")
    try:
        folder = args.work / "compare"
        folder.mkdir()
        (folder / "Update.ini").write_bytes(SETUP)
        make_pair(folder, compare * MIB, args.seed)
        full = build(args.tool, folder, stub, "full.exe", None)
        # A limit below what the suffix array would take sends the same pair to the bounded matcher.
        bounded = build(args.tool, folder, stub, "bounded.exe", f"{compare * 4}M")
        print(row(f"{compare} MiB", full))
        print(row(f"{compare} MiB", bounded))
        shutil.rmtree(folder)
        for size in sizes:
            folder = args.work / f"{size}"
            folder.mkdir()
            (folder / "Update.ini").write_bytes(SETUP)
            changed = make_pair(folder, size * MIB, args.seed)
            figures = build(args.tool, folder, stub, "update.exe", args.memory)
            floor = len(bz2.compress(changed, 9))
            print(row(f"{size:,} MiB, --memory {args.memory}", figures) +
                  f" bzip2 of the {len(changed):,} changed and inserted bytes alone: {floor:,} B")
            if args.apply and size == max(sizes):
                outcome, seconds, resident, private = apply_x64(folder, figures["path"], args.win64)
                print(f"apply, x86-64 test stub under Wine: {outcome}; {seconds:.0f} s, peak resident "
                      f"{resident:,.0f} MiB, peak private {private:,.0f} MiB")
            shutil.rmtree(folder)
    finally:
        shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    main()
