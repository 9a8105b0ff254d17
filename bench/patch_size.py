#!/usr/bin/env python3
# Patch size benchmark: real consecutive releases from the npm registry, our packed Patch.dat
# against xdelta3 -9, bsdiff and zstd --patch-from, with build time and peak memory of each.
import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

import patch_chart

# label, package, old version, new version, file inside the package (None: the whole tree)
PAIRS = [
    ("esbuild.exe (Go)", "@esbuild/win32-x64", "0.19.11", "0.19.12", "esbuild.exe"),
    ("rollup .node DLL (Rust)", "@rollup/rollup-win32-x64-msvc", "4.9.5", "4.9.6", "rollup.win32-x64-msvc.node"),
    ("watcher .node DLL (C++)", "@parcel/watcher-win32-x64", "2.4.0", "2.4.1", "watcher.node"),
    ("rxjs package tree", "rxjs", "7.8.0", "7.8.1", None),
]

# A release that drops files of the one before it; the end-to-end tests apply it with the real
# updater (tests/e2e/i686_updater_smoke.sh), since none of the pairs above removes a file.
REMOVAL_PAIR = ("chalk", "4.1.2", "5.0.0")

TOP = Path(__file__).resolve().parent.parent
CACHE = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / "mendsmith-bench"


def fetch(cache, package, version):
    """The unpacked package directory, fetched with npm pack on first use."""
    stem = package.lstrip("@").replace("/", "-") + "-" + version
    unpacked = cache / stem
    if unpacked.is_dir():
        return unpacked / "package"
    tarball = cache / (stem + ".tgz")
    if not tarball.exists():
        subprocess.run(["npm", "pack", "--silent", f"{package}@{version}"], cwd=cache, check=True,
                       stdout=subprocess.DEVNULL)
    unpacked.mkdir(parents=True)
    with tarfile.open(tarball) as archive:
        # Pythons before 3.11.4 (Debian 12's) have no extraction filters.
        if hasattr(tarfile, "data_filter"):
            archive.extractall(unpacked, filter="data")
        else:
            archive.extractall(unpacked)
    return unpacked / "package"


def measure(command, cwd=None):
    """Wall seconds and peak resident kilobytes of one command, through /usr/bin/time -v."""
    result = subprocess.run(["/usr/bin/time", "-v"] + command, cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({result.returncode}):\n{result.stderr}")
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", result.stderr).group(1)
    seconds = 0.0
    for part in wall.split(":"):
        seconds = seconds * 60 + float(part)
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
    return seconds, peak


def deterministic_tar(source, target):
    def clean(info):
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        info.mtime = 0
        return info
    with tarfile.open(target, "w", format=tarfile.GNU_FORMAT) as archive:
        for path in sorted(p for p in source.rglob("*") if p.is_file()):
            archive.add(path, arcname=str(path.relative_to(source)), filter=clean)


def run_pair(work, tool, stub, old_dir, new_dir, main_file, old_blob, new_blob):
    setup = work / "Update.ini"
    setup.write_text(f"[App]\r\nAppName=Bench\r\nMainFile={main_file}\r\n[Path]\r\nSoftWarePath=C:\\Bench\r\n")
    updater = work / "Update.exe"
    rows = {}
    rows["mendsmith"] = measure([str(tool), "build", str(old_dir), str(new_dir), "--setup", str(setup), "--stub",
                                 str(stub), "-o", str(updater), "--quiet"])
    inspection = json.loads(subprocess.run([str(tool), "inspect", "--json", str(updater)], check=True,
                                           capture_output=True, text=True).stdout)
    sizes = {"mendsmith": inspection["records"][1]["size"]}

    out = work / "xdelta"
    rows["xdelta3 -9"] = measure(["xdelta3", "-9", "-f", "-e", "-s", str(old_blob), str(new_blob), str(out)])
    sizes["xdelta3 -9"] = out.stat().st_size
    out = work / "bsdiff"
    rows["bsdiff"] = measure(["bsdiff", str(old_blob), str(new_blob), str(out)])
    sizes["bsdiff"] = out.stat().st_size
    out = work / "zstd"
    window = max(10, math.ceil(math.log2(max(old_blob.stat().st_size, new_blob.stat().st_size, 1024))) + 1)
    rows["zstd -19"] = measure(["zstd", "-q", "-f", "-19", f"--long={window}", f"--patch-from={old_blob}",
                                str(new_blob), "-o", str(out)])
    sizes["zstd -19"] = out.stat().st_size
    return {name: (sizes[name], *rows[name]) for name in rows}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", default=TOP / "build/host/tool/mendsmith", type=Path)
    parser.add_argument("--cache", type=Path, default=CACHE)
    parser.add_argument("--fetch-removal-pair", action="store_true",
                        help="only fetch REMOVAL_PAIR and print its old and new package folders")
    parser.add_argument("--chart", type=Path, help="also draw the sizes as a PNG chart (python3-matplotlib)")
    args = parser.parse_args()
    args.cache.mkdir(parents=True, exist_ok=True)
    if args.fetch_removal_pair:
        package, old_version, new_version = REMOVAL_PAIR
        print(fetch(args.cache, package, old_version))
        print(fetch(args.cache, package, new_version))
        return 0
    tools = ["mendsmith", "xdelta3 -9", "bsdiff", "zstd -19"]
    print("| pair | old → new bytes | " + " | ".join(tools) + " |")
    print("|---|---|" + "---|" * len(tools))
    chart = []
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        stub = work / "stub.bin"
        constants = (TOP / "core/constants.h").read_text()
        markers = "".join(re.search(name + r' "([^"]*)"', constants).group(1)
                          for name in ("DIFFERENCE_BODY_MARKER", "REMOVAL_BODY_MARKER"))
        stub.write_bytes((b"MZ" + markers.encode()).ljust(0x7A00, b"\0"))
        for label, package, old_version, new_version, inner in PAIRS:
            old_pkg = fetch(args.cache, package, old_version)
            new_pkg = fetch(args.cache, package, new_version)
            pair = work / "pair"
            shutil.rmtree(pair, ignore_errors=True)
            pair.mkdir()
            if inner:
                (pair / "old").mkdir()
                (pair / "new").mkdir()
                shutil.copy(old_pkg / inner, pair / "old" / inner)
                shutil.copy(new_pkg / inner, pair / "new" / inner)
                old_blob, new_blob, main_file = pair / "old" / inner, pair / "new" / inner, inner
                old_dir, new_dir = pair / "old", pair / "new"
            else:
                old_dir, new_dir, main_file = old_pkg, new_pkg, "package.json"
                old_blob, new_blob = pair / "old.tar", pair / "new.tar"
                deterministic_tar(old_pkg, old_blob)
                deterministic_tar(new_pkg, new_blob)
            results = run_pair(pair, args.tool, stub, old_dir, new_dir, main_file, old_blob, new_blob)
            cells = [f"{size:,} B, {seconds:.2f} s, {peak / 1024:.0f} MiB" for size, seconds, peak in
                     (results[name] for name in tools)]
            sizes = f"{old_blob.stat().st_size:,} → {new_blob.stat().st_size:,}"
            print(f"| {label} {old_version} → {new_version} | {sizes} | " + " | ".join(cells) + " |", flush=True)
            size = new_blob.stat().st_size / 1e6
            chart.append((f"{label}\n{old_version} → {new_version}, {size:.1f} MB",
                          {name: results[name][0] for name in tools}))
    if args.chart:
        patch_chart.draw(chart, tools, "bsdiff", args.chart)
        print(f"chart: {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
