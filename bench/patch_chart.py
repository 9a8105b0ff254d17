"""The patch size benchmark's figures as grouped bars: one group per release pair, each tool's
patch relative to one tool's (bsdiff), so that pairs of very different sizes share one axis."""


def relative(pairs, tools, base):
    """Each pair's sizes divided by the base tool's size for that pair, in the order of tools."""
    rows = []
    for label, sizes in pairs:
        if not sizes.get(base):
            raise ValueError(f"{label}: no {base} size to compare with")
        rows.append([sizes[tool] / sizes[base] for tool in tools])
    return rows


def kilobytes(size):
    return f"{size / 1000:.1f} kB" if size < 100_000 else f"{size / 1000:,.0f} kB"


def draw(pairs, tools, base, path):
    """Writes the chart of pairs, a list of (label, {tool: bytes}), as a PNG file."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot

    ratios = relative(pairs, tools, base)
    colours = ["#1f5fa8", "#9c9c9c", "#5d5d5d", "#c8a35a"]
    width = 0.8 / len(tools)
    figure, axes = pyplot.subplots(figsize=(10, 5.2), dpi=100)
    for t, tool in enumerate(tools):
        xs = [p + (t - (len(tools) - 1) / 2) * width for p in range(len(pairs))]
        heights = [row[t] for row in ratios]
        bars = axes.bar(xs, heights, width * 0.92, label=tool, color=colours[t % len(colours)])
        axes.bar_label(bars, [kilobytes(sizes[tool]) for _, sizes in pairs], padding=2, fontsize=7.5,
                       rotation=90)
    axes.axhline(1, color="black", linewidth=0.6)
    axes.set_xticks(range(len(pairs)), [label for label, _ in pairs], fontsize=9)
    axes.set_ylabel(f"patch size relative to {base}'s (lower is better)")
    axes.set_ylim(0, max(max(row) for row in ratios) * 1.22)
    axes.yaxis.set_major_formatter("{x:g}×")
    axes.spines[["top", "right"]].set_visible(False)
    axes.legend(frameon=False, ncols=len(tools), loc="upper center")
    axes.set_title("Packed patch size per release pair, each bar labelled with its size", fontsize=11)
    figure.tight_layout()
    # No version or date in the file, so that the same figures give the same bytes.
    figure.savefig(path, metadata={"Software": None})
    pyplot.close(figure)
