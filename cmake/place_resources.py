"""Points the stub's resource directory at its resources, which stub.ld puts in the code
section: the linker fills that directory entry only for a section named .rsrc."""
import re
import struct
import sys

RESOURCE_ENTRY = 2


def symbol(map_text, name):
    found = re.search(r"^\s+0x([0-9a-f]+)\s+" + re.escape(name) + r" = \.", map_text, re.M)
    if not found:
        sys.exit(f"place_resources: {name} is not in the linker map")
    return int(found.group(1), 16)


def main(image_path, map_path):
    with open(map_path) as map_file:
        map_text = map_file.read()
    start, end = symbol(map_text, "__resources"), symbol(map_text, "__resources_end")
    with open(image_path, "r+b") as image:
        header = bytearray(image.read(1024))
        pe = struct.unpack_from("<I", header, 0x3C)[0]
        optional = pe + 24
        if header[pe:pe + 4] != b"PE\0\0" or struct.unpack_from("<H", header, optional)[0] != 0x10B:
            sys.exit(f"place_resources: {image_path} is not a PE32 image")
        image_base = struct.unpack_from("<I", header, optional + 28)[0]
        entry = optional + 96 + 8 * RESOURCE_ENTRY
        if end <= start or struct.unpack_from("<II", header, entry) != (0, 0):
            sys.exit(f"place_resources: {image_path} has no resources to place, or a directory already")
        struct.pack_into("<II", header, entry, start - image_base, end - start)
        image.seek(0)
        image.write(header)


if __name__ == "__main__":
    main(*sys.argv[1:])
