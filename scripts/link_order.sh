#!/usr/bin/env bash
# Writes tool/link-order.txt: the functions of the Linux tool that a build of an update runs,
# which its link lays out together (tool/CMakeLists.txt). The kernel maps a program's code in
# blocks around each page it touches, so a build's code spread over the whole program keeps
# nearly all of it resident; laid out together, little more than the code itself.
#
# Run it after changing what a build does: a function missing from the list still works, it
# only lands among the rest. Needs the host and win32 trees built (the tool and its stub) and
# valgrind (scripts/setup.sh installs it).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tool=build/host/tool/mendsmith
stub=build/win32/stub-padded.bin
[ -x "$tool" ] && [ -f "$stub" ] || { echo "link_order: build the host and win32 trees first" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "link_order: needs valgrind" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two releases with every kind of file a build meets: programs of both widths (predicted
# bodies), changed and new data and text files.
python3 scripts/make_sample.py "$work" >/dev/null
for width in x86_64 i686; do
  runtime=$(ls -d /usr/lib/gcc/$width-w64-mingw32/*-posix | head -n 1)
  cp "$runtime/libssp-0.dll" "$work/old/Runtime-$width.dll"
  cp "$runtime/libatomic-1.dll" "$work/new/Runtime-$width.dll"
done

stub=$(realpath "$stub")
tool=$(realpath "$tool")
(cd "$work" && valgrind --tool=callgrind --demangle=no --callgrind-out-file=calls \
  "$tool" build old new --setup Update.ini --lang Language.ini --stub "$stub" -o Update.exe --quiet 2>/dev/null)

# Every function that ran in the tool itself, by its symbol, one per line and sorted, and the
# checksum's constants, which are kept among the code.
python3 - "$work/calls" "$tool" >tool/link-order.txt <<'EOF'
import re
import sys

objects, functions, current, ran = {}, {}, None, set()
for line in open(sys.argv[1]):
    m = re.match(r"(c?ob)=\((\d+)\)(?: (.*))?", line)
    if m:
        if m.group(3):
            objects[m.group(2)] = m.group(3).strip()
        if m.group(1) == "ob":
            current = objects[m.group(2)]
        continue
    m = re.match(r"(c?fn)=\((\d+)\)(?: (.*))?", line)
    if m:
        if m.group(3):
            functions[m.group(2)] = m.group(3).strip()
        if m.group(1) == "fn" and current == sys.argv[2]:
            ran.add(functions[m.group(2)].split("'")[0])
# Code without a symbol shows as its address, and the program's start as "(below main)".
ran = {name for name in ran if not name.startswith(("0x", "("))}
ran.add("_ZL16crcFoldConstants")
print("\n".join(sorted(ran)))
EOF
echo "tool/link-order.txt: $(wc -l <tool/link-order.txt) functions"
