#!/usr/bin/env python3
"""Writes a sample application in two releases (old/ and new/) with its Update.ini and
Language.ini, for the main-job demo: changed, unchanged and new files, nested folders."""
import random
import sys
from pathlib import Path


def binary_like(rng, size):
    """Bytes with the repetitive structure of an executable: runs, tables and text."""
    out = bytearray()
    words = [b"GetProcAddress", b"LoadLibraryA", b"CreateFileA", b"Sample Application", b"\x00" * 16]
    while len(out) < size:
        pick = rng.random()
        if pick < 0.4:
            out += rng.choice(words)
        elif pick < 0.7:
            out += bytes(rng.randrange(256) for _ in range(rng.randrange(4, 64)))
        else:
            out += bytes([rng.randrange(8)]) * rng.randrange(8, 128)
    return bytes(out[:size])


def mutate(rng, data, edits):
    data = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(data))
        if rng.random() < 0.5:
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200)))
        else:
            data[at:at + rng.randrange(1, 100)] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 100)))
    return bytes(data)


def write(root, relative, data):
    path = root / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def main(out):
    rng = random.Random(2026)
    out = Path(out)
    old, new = out / "old", out / "new"
    app = binary_like(rng, 400_000)
    helper = binary_like(rng, 120_000)
    levels = bytes(rng.randrange(256) for _ in range(50_000))
    files_old = {
        "Sample.exe": app,
        "Helper.dll": helper,
        "readme.txt": b"Sample Application 1.0\r\n\r\nThanks for using it.\r\n",
        "data/levels.dat": levels,
        "data/lang/en.txt": b"Hello=Hello\r\nBye=Goodbye\r\n",
    }
    files_new = dict(files_old)
    files_new["Sample.exe"] = mutate(rng, app, 40)
    files_new["Helper.dll"] = mutate(rng, helper, 10)
    files_new["readme.txt"] = b"Sample Application 1.1\r\n\r\nNew: faster start.\r\n\r\nThanks for using it.\r\n"
    files_new["data/lang/en.txt"] = b"Hello=Hello\r\nBye=Goodbye\r\nThanks=Thank you\r\n"
    files_new["data/lang/de.txt"] = b"Hello=Hallo\r\nBye=Auf Wiedersehen\r\nThanks=Danke\r\n"
    for relative, data in files_old.items():
        write(old, relative, data)
    for relative, data in files_new.items():
        write(new, relative, data)

    (out / "Update.ini").write_bytes(
        b"[Author]\r\nName=Sample Software\r\nEmail=support@sample.example\r\nHomepage=\r\n"
        b"CopyRight=Copyright 2026 Sample Software\r\n"
        b"[App]\r\nAppName=Sample Application 1.1\r\nMainFile=Sample.exe\r\n"
        b"AppDesc=Faster start and a German translation.\r\nShowBGW=1\r\nShowSplash=0\r\n"
        b"ApplierMutex=5f0c2d1e-8a4b-4c3d-9e2f-1a2b3c4d5e6f\r\nTitleText=\r\n"
        b"[Path]\r\nSoftWarePath=C:\\Program Files\\Sample Application\r\n"
        b"[ShellExec]\r\nCommand=\r\nParameter=\r\nShowWindow=1\r\n")
    chinese = {
        200: "更新程式",
        203: "更新",
        214: "更新已成功套用！",
        250: "更新成功！",
        251: "附加檔案已新增！",
    }
    lines = ["", "", "[$0404]"] + [f"ID{k}={v}" for k, v in chinese.items()]
    lines.append("; End of file - Do not localize or remove this line.")
    (out / "Language.ini").write_bytes("\r\n".join(lines).encode("cp950"))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/demo")
