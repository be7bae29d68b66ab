"""Draws the documentation's charts from the benchmarks' own output.

    pip install -r scripts/requirements-plot.txt
    python scripts/plot-performance.py [--data docs/data] [--out docs/img]

Reads what the benchmarks printed, saved under docs/data (each file's first
line is the command that printed it):

- bench_calls.txt (bench/bench_calls.py): one call of the core against the
  floor and orjson.loads;
- bench_peers.txt (bench/python_layer/bench_peers.py): fresh tokens per
  second, client CPU per fetch and a cached lookup, beside the peers;
- bench_stores.txt (bench/bench_stores.py): a lookup from the process's copy
  and from each store;

and writes one SVG per chart into docs/img, with token-life.svg, the diagram
of a token's life (its times are the defaults: a 3600 s lifetime, used up to
60 s before its end, refreshed ahead in the last tenth, at most 300 s). The
SVGs are deterministic for the same data (no dates, fixed ids), so that a
rerun changes them only when a figure changed.
"""

from __future__ import annotations

import argparse
import re
from pathlib import Path

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt
from matplotlib.axes import Axes
from matplotlib.patches import FancyArrowPatch

plt.rcParams.update(
    {
        "svg.hashsalt": "quillon_bo",  # fixed element ids: reruns give the same file
        "svg.fonttype": "none",  # text stays text: the page's own font, searchable
        "font.family": "sans-serif",
        "font.size": 10,
        "axes.spines.top": False,
        "axes.spines.right": False,
    }
)
OURS, FLOOR, PEER = "#3f51b5", "#9e9e9e", "#ff9800"
ROOT = Path(__file__).resolve().parent.parent


def command_of(text: str) -> str:
    first = text.splitlines()[0]
    return first.removeprefix("# $ ").strip()


def table(text: str, header: str, columns: int) -> dict[str, list[float]]:
    """Rows after the line starting with ``header``, up to the first blank
    line: a name, then ``columns`` numbers (units after them are ignored)."""
    rows: dict[str, list[float]] = {}
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.lstrip().startswith(header))
    for line in lines[start + 1 :]:
        if not line.strip():
            break
        name, *rest = line.split(None, 1)
        numbers = re.findall(r"\d+(?:\.\d+)?", rest[0] if rest else "")
        if len(numbers) >= columns:
            rows[name] = [float(n) for n in numbers[:columns]]
    if not rows:
        raise SystemExit(f"no rows under {header!r}")
    return rows


def bars(
    ax: Axes, names: list[str], values: list[float], colours: list[str], unit: str, fmt: str
) -> None:
    ypos = range(len(names))[::-1]
    ax.barh(list(ypos), values, color=colours, height=0.6)
    ax.set_yticks(list(ypos), names)
    ax.set_xlabel(unit)
    top = max(values)
    for y, value in zip(ypos, values, strict=True):
        ax.text(value + top * 0.01, y, fmt.format(value), va="center", fontsize=9)
    ax.set_xlim(0, top * 1.18)


def save(fig: plt.Figure, out: Path, name: str, source: str) -> None:
    fig.text(0.01, 0.005, f"data: {source}", fontsize=7, color="#757575")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    path = out / name
    fig.savefig(path, metadata={"Date": None, "Creator": "scripts/plot-performance.py"})
    plt.close(fig)
    print(f"wrote {path.relative_to(ROOT) if path.is_relative_to(ROOT) else path}")


def calls_chart(data: Path, out: Path) -> None:
    text = (data / "bench_calls.txt").read_text()
    rows = table(text, "min ns", 2)
    order = [
        ("floor", "floor (the boundary alone)", FLOOR),
        ("version", "version", OURS),
        ("token.parse", "token.parse (284 B)", OURS),
        ("orjson.loads", "orjson.loads (same 284 B)", PEER),
        ("token.build", "token.build (307 B)", OURS),
    ]
    shown = [(label, rows[key][0], colour) for key, label, colour in order if key in rows]
    fig, ax = plt.subplots(figsize=(7, 2.8))
    bars(
        ax,
        [s[0] for s in shown],
        [s[1] for s in shown],
        [s[2] for s in shown],
        "ns per call (min)",
        "{:.0f} ns",
    )
    ax.set_title("One call of the core from Python", loc="left")
    save(fig, out, "calls.svg", command_of(text))


def peers_chart(data: Path, out: Path) -> None:
    text = (data / "bench_peers.txt").read_text()
    rows = table(text, "client", 3)
    names = list(rows)
    colours = [OURS if n == "quillon_bo" else PEER for n in names]
    fig, axes = plt.subplots(1, 3, figsize=(10, 2.8))
    panels = [
        (0, "fresh tokens per second", "tokens/s (more is better)", "{:,.0f}"),
        (1, "client CPU per fresh fetch", "µs (less is better)", "{:.0f} µs"),
        (2, "cached lookup", "ns (less is better)", "{:,.0f} ns"),
    ]
    for ax, (column, title, unit, fmt) in zip(axes, panels, strict=True):
        bars(ax, names, [rows[n][column] for n in names], colours, unit, fmt)
        ax.set_title(title, loc="left")
    for ax in axes[1:]:
        ax.set_yticks([])
    save(fig, out, "peers.svg", command_of(text))


# The benchmark's row names, as the stores page calls the deployments.
STORE_LABELS = {
    "redis": "Redis, one server",
    "cluster": "Redis Cluster",
    "sentinel": "Redis, Sentinel",
}


def stores_chart(data: Path, out: Path) -> None:
    text = (data / "bench_stores.txt").read_text()
    rows = table(text, "lookup cost", 2)
    rows.pop("store", None)
    keys = list(rows)
    names = [STORE_LABELS.get(k, k) for k in keys]
    fig, axes = plt.subplots(1, 2, figsize=(9, 1.2 + 0.3 * len(keys)))
    copy = [rows[k][0] for k in keys]
    stored = [rows[k][1] for k in keys]
    bars(axes[0], names, copy, [OURS] * len(names), "ns", "{:.0f} ns")
    axes[0].set_title("a hit in the process's own copy", loc="left")
    bars(axes[1], names, stored, [PEER] * len(names), "µs", "{:.1f} µs")
    axes[1].set_title("a miss there, found in the store", loc="left")
    axes[1].set_yticks([])
    save(fig, out, "stores.svg", command_of(text))


def arrow(ax: Axes, start: tuple[float, float], end: tuple[float, float]) -> None:
    ax.add_patch(FancyArrowPatch(start, end, arrowstyle="-|>", mutation_scale=10, color="#424242"))


def token_life(out: Path) -> None:
    lifetime, margin = 3600, 60
    expires_at = lifetime - margin
    ahead = min(expires_at / 10, 300)
    # Drawn to a schematic scale: at the true one the last minutes are a sliver.
    x_ahead, x_end, x_stated, x_next = 6.0, 8.4, 9.6, 6.5
    fig, ax = plt.subplots(figsize=(8.5, 4.2))
    spans = [
        (0, x_ahead, "#c5cae9", "cached: every call returns it at once"),
        (x_ahead, x_end - x_ahead, "#ffe0b2", "refresh ahead"),
        (x_end, x_stated - x_end, "#ffcdd2", "never used"),
    ]
    for start, width, colour, label in spans:
        ax.broken_barh([(start, width)], (1.0, 0.8), facecolors=colour, edgecolor="#616161")
        ax.text(start + width / 2, 1.4, label, ha="center", va="center", fontsize=9)
    events = [
        (0, 2.0, "fetch: one POST to the token endpoint\n(one per fleet with a shared store)"),
        (x_ahead, 2.55, f"the first call in the last {ahead:.0f} s starts a fetch in the\n"
         "background; calls keep the held token meanwhile"),
        (x_end, 2.0, f"expires_at = issued + expires_in \u2212 {margin} s:\n"
         "from here a call waits for a fetch"),
    ]  # fmt: skip
    for x, y, label in events:
        ax.plot([x, x], [0.85, y + 0.05], color="#424242", linewidth=1)
        ax.text(x + 0.06, y + 0.05, label, fontsize=9, va="bottom")
    ax.broken_barh([(x_next, 12 - x_next)], (0.2, 0.45), facecolors="#c5cae9", edgecolor="#616161")
    ax.text(x_next + 0.15, 0.42, "the next token, from the refresh ahead", va="center", fontsize=9)
    arrow(ax, (x_ahead, 1.0), (x_next, 0.65))
    x401 = 2.2
    ax.plot([x401], [1.15], marker="x", color="#c62828", markersize=9, mew=2)
    ax.text(
        0.05, 0.75,
        "\u2716 a 401 from your API, at any time: the token it\n"
        "refused is dropped, one fetch (however many requests\n"
        "met that 401), and the request is sent once more",
        fontsize=8, color="#c62828", va="top",
    )  # fmt: skip
    ax.set_xlim(-0.2, 12)
    ax.set_ylim(-0.3, 3.3)
    ax.set_yticks([])
    ticks = [(0, 0), (x_ahead, expires_at - ahead), (x_end, expires_at), (x_stated, lifetime)]
    ax.set_xticks([t for t, _ in ticks], [f"{s:.0f} s" for _, s in ticks])
    ax.set_xlabel(
        'time since the token was issued, not to scale (expires_in = 3600, refresh_ahead = "auto")'
    )
    ax.spines["left"].set_visible(False)
    ax.set_title("A token's life", loc="left")
    fig.tight_layout()
    path = out / "token-life.svg"
    fig.savefig(path, metadata={"Date": None, "Creator": "scripts/plot-performance.py"})
    plt.close(fig)
    print(f"wrote {path.relative_to(ROOT) if path.is_relative_to(ROOT) else path}")


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--data", type=Path, default=ROOT / "docs" / "data")
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "img")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    calls_chart(args.data, args.out)
    peers_chart(args.data, args.out)
    stores_chart(args.data, args.out)
    token_life(args.out)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
