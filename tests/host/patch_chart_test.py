"""The patch size chart: bars relative to the base tool, and a PNG drawn from a run's figures."""
import struct
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import patch_chart  # noqa: E402

TOOLS = ["mendsmith", "xdelta3 -9", "bsdiff", "zstd -19"]
PAIRS = [
    ("large\n1 → 2, 9.8 MB", {"mendsmith": 755_232, "xdelta3 -9": 563_353, "bsdiff": 163_653, "zstd -19": 352_301}),
    ("tree\n1 → 2, 6.2 MB", {"mendsmith": 28_688, "xdelta3 -9": 21_306, "bsdiff": 13_071, "zstd -19": 11_740}),
]


class PatchChart(unittest.TestCase):
    def test_sizes_are_divided_by_the_base_tool_of_their_own_pair(self):
        rows = patch_chart.relative(PAIRS, TOOLS, "bsdiff")
        for row, (_, sizes) in zip(rows, PAIRS):
            self.assertEqual(row[2], 1.0)
            self.assertAlmostEqual(row[0], sizes["mendsmith"] / sizes["bsdiff"])
            self.assertAlmostEqual(row[3], sizes["zstd -19"] / sizes["bsdiff"])

    def test_a_pair_without_a_base_size_is_refused_by_name(self):
        for sizes in ({"mendsmith": 10}, {"mendsmith": 10, "bsdiff": 0}):
            with self.assertRaisesRegex(ValueError, "odd pair: no bsdiff size"):
                patch_chart.relative([("odd pair", sizes)], ["mendsmith"], "bsdiff")

    def test_the_chart_is_a_png_of_the_same_bytes_for_the_same_figures(self):
        with tempfile.TemporaryDirectory() as scratch:
            first, second = Path(scratch) / "a.png", Path(scratch) / "b.png"
            patch_chart.draw(PAIRS, TOOLS, "bsdiff", first)
            patch_chart.draw(PAIRS, TOOLS, "bsdiff", second)
            data = first.read_bytes()
            self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(struct.unpack(">II", data[16:24]), (1000, 520))
            self.assertEqual(data, second.read_bytes())


if __name__ == "__main__":
    unittest.main()
