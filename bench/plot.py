"""The chart: log-scale seconds per workload, one bar per store, one panel per N."""
from figures import seconds_of, sizes_of
from stores import LABEL_OF, STORE_KEYS
from timing import log
from workloads import WORKLOADS


def draw_size(axis, size, entry, colors):
    """The bars of one N; a store keeps its colour across panels."""
    present = [key for key in STORE_KEYS if key in entry["seconds"]]
    width = 0.8 / max(1, len(present))
    for index, key in enumerate(present):
        xs, ys = [], []
        for position, (workload, _) in enumerate(WORKLOADS):
            seconds = seconds_of(entry, key, workload)
            if seconds:
                xs.append(position - 0.4 + width * (index + 0.5))
                ys.append(seconds)
        axis.bar(xs, ys, width, label=LABEL_OF[key], color=colors[STORE_KEYS.index(key) % len(colors)])
    axis.set_yscale("log")
    axis.set_xticks(range(len(WORKLOADS)))
    axis.set_xticklabels([label.replace(" (", "\n(") for _, label in WORKLOADS], fontsize=8)
    axis.set_ylabel("seconds (log scale)")
    axis.set_title(f"N = {size:,} documents")
    axis.grid(axis="y", which="both", alpha=0.3)
    axis.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0))


def render_chart(data, path):
    """Writes the chart to path; False (and no file) without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib is not installed: no chart")
        return False
    sizes = sizes_of(data)
    figure, axes = plt.subplots(len(sizes), 1, figsize=(14, 4.6 * len(sizes)), squeeze=False)
    pairs = plt.get_cmap("tab20").colors  # 20 colours, in dark and light pairs
    colors = pairs[0::2] + pairs[1::2]  # more stores than tab10 has colours; darks first
    for row, size in enumerate(sizes):
        draw_size(axes[row][0], size, data["sizes"][str(size)], colors)
    figure.suptitle(f"quarn and its peers: seconds per workload, lower is better ({data['meta']['date']})")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True
