"""The stability benchmark's picture: for each series, the four figures'
distributions side by side, a box with whiskers and every run as a point."""
from analysis import LABELS, figure_values

try:
    import matplotlib

    matplotlib.use("Agg")  # a file, no display
    import matplotlib.pyplot as pyplot
    import numpy
except ImportError:
    matplotlib = None

COLOURS = {"mov": "tab:blue", "and": "tab:orange"}


def missing():
    """What to install for the picture, or None when it can be drawn."""
    if matplotlib is None:
        return "matplotlib is missing (apt-get install python3-matplotlib; run under /usr/bin/python3)"
    return None


def _title(series, per_cpu):
    return f"{series.preset}, cpu {series.cpu}" if per_cpu else series.preset


def draw(path, series, machine):
    per_cpu = len({s.preset for s in series}) < len(series)
    figure, axes = pyplot.subplots(1, len(series), sharey=True, squeeze=False,
                                   figsize=(2.6 * len(series) + 1, 4.5))
    jitter = numpy.random.default_rng(0)  # the same picture for the same runs
    for axis, one in zip(axes[0], series):
        values = [figure_values(one, i) for i in range(len(LABELS))]
        boxes = axis.boxplot(values, patch_artist=True, widths=0.55, showfliers=False)
        for i, label in enumerate(LABELS):
            colour = COLOURS[label.split()[1]]
            boxes["boxes"][i].set(facecolor=colour, alpha=0.35)
            boxes["medians"][i].set(color=colour, linewidth=2)
            spread = jitter.uniform(-0.15, 0.15, len(values[i]))
            axis.scatter(i + 1 + spread, values[i], s=12, color=colour, zorder=3)
        axis.set_xticks(range(1, len(LABELS) + 1), LABELS)
        axis.set_title(_title(one, per_cpu))
        axis.grid(axis="y", alpha=0.3)
    axes[0][0].set_ylabel("ticks per pass")
    runs = len(series[0].runs)
    cpu = "" if per_cpu else f", all on cpu {series[0].cpu}"
    figure.suptitle(f"{series[0].banner}: {runs} runs each{cpu}\n{machine['kernel']}, {machine['date']}",
                    fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    pyplot.close(figure)
