"""The plots of the HTML page, drawn with matplotlib and returned as PNG bytes.

Each function returns None when the run gives nothing to draw; the page then says why."""

import io

import matplotlib

matplotlib.use("Agg")
# Labels carry text from the log; a '$' in it must not be read as a formula.
matplotlib.rcParams["text.parse_math"] = False
import matplotlib.pyplot as plt  # noqa: E402

from .model import UNNAMED  # noqa: E402

_REASON_COLOURS = ["#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf",
                   "#ff7f0e"]


def _png(figure):
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=90, bbox_inches="tight")
    plt.close(figure)
    return buffer.getvalue()


def _lanes(run):
    named = sorted(p for p in run.phones if p != UNNAMED)
    if UNNAMED in run.phones and run.phones[UNNAMED].disconnections:
        named.append(UNNAMED)
    return named


def _short(uuid):
    return uuid if uuid == UNNAMED or len(uuid) <= 12 else uuid[:8] + "..."


def timeline(run):
    lanes = _lanes(run)
    if not lanes or run.first_time is None:
        return None
    origin = run.first_time
    end = run.last_time
    figure, axes = plt.subplots(figsize=(10, 1.0 + 0.7 * len(lanes)))
    reasons = sorted({r for p in lanes for _, r in run.phones[p].disconnections})
    colour = {r: _REASON_COLOURS[i % len(_REASON_COLOURS)] for i, r in enumerate(reasons)}
    for row, uuid in enumerate(lanes):
        phone = run.phones[uuid]
        spans = [(c.start - origin, ((c.end if c.end is not None else end) - c.start))
                 for c in phone.connections if c.start is not None]
        if spans:
            axes.broken_barh(spans, (row - 0.3, 0.6), facecolors="#9ecae1",
                             label="connected" if row == 0 else None)
        setups = [(s.found - origin, s.end_low - s.found) for s in phone.setups
                  if s.completed and s.found is not None and s.end_low is not None]
        if setups:
            axes.broken_barh(setups, (row - 0.15, 0.3), facecolors="#3182bd")
        attempts = [t - origin for t in phone.attempts if t is not None]
        if attempts:
            axes.plot(attempts, [row + 0.38] * len(attempts), "|", color="#31a354", markersize=8)
        for when, reason in phone.disconnections:
            if when is not None:
                axes.plot([when - origin], [row], "v", color=colour[reason], markersize=9)
    handles = [plt.Line2D([], [], color="#9ecae1", linewidth=8, label="connected"),
               plt.Line2D([], [], color="#3182bd", linewidth=4, label="set-up"),
               plt.Line2D([], [], color="#31a354", marker="|", linestyle="", label="FOUND")]
    handles += [plt.Line2D([], [], color=colour[r], marker="v", linestyle="",
                           label="disconnected: " + r) for r in reasons]
    axes.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    axes.set_yticks(range(len(lanes)))
    axes.set_yticklabels([_short(u) for u in lanes])
    axes.set_ylim(-0.6, len(lanes) - 0.4)
    axes.set_xlim(0, max(end - origin, 1e-3))
    axes.set_xlabel("seconds since the first timestamped line (%s)" % run.clock)
    axes.set_title("Timeline per phone")
    return _png(figure)


def setup_histogram(run):
    bounds = [(s.end_low - s.found, s.end_high - s.found if s.end_high is not None else None)
              for p in run.phones.values() for s in p.setups
              if s.completed and s.found is not None and s.end_low is not None]
    if not bounds:
        return None
    shortest = [lo for lo, _ in bounds]
    longest = [hi for _, hi in bounds if hi is not None]
    figure, axes = plt.subplots(figsize=(7, 3))
    bins = min(30, max(5, len(bounds) // 2))
    if longest and any(abs(h - l) >= 0.0005 for l, h in bounds if h is not None):
        top = max(longest)
        edges = [top * i / bins for i in range(bins + 1)] if top > 0 else bins
        axes.hist(shortest, bins=edges, histtype="step", linewidth=2, color="#3182bd",
                  label="to the last timestamp before the end")
        axes.hist(longest, bins=edges, histtype="step", linewidth=2, color="#e6550d",
                  label="to the first timestamp after it")
        axes.legend(fontsize=8)
    else:
        axes.hist(shortest, bins=bins, color="#3182bd")
    axes.set_xlabel("set-up time, FOUND to end of metadata (s)")
    axes.set_ylabel("set-ups")
    axes.set_title("Set-up time (%d set-ups)" % len(bounds))
    return _png(figure)


def rssi_over_time(run):
    lanes = [p for p in sorted(run.phones) if run.phones[p].rssi]
    if not lanes or run.first_time is None:
        return None
    origin = run.first_time
    figure, axes = plt.subplots(figsize=(10, 3.5))
    for uuid in lanes:
        for source, marker in (("advertisement", "."), ("link", "x")):
            points = [(t - origin, dbm) for t, dbm, s in run.phones[uuid].rssi
                      if s == source and t is not None]
            if points:
                xs, ys = zip(*points)
                axes.plot(xs, ys, marker, markersize=4, label="%s (%s)" % (_short(uuid), source))
    axes.set_xlabel("seconds since the first timestamped line (%s)" % run.clock)
    axes.set_ylabel("RSSI (dBm)")
    axes.set_title("RSSI over time")
    axes.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    return _png(figure)


def advertising_rate(run, level_needed):
    """Advertisements per second: counted one by one where the log was at `level_needed` or
    more (stretches below it are greyed out), else from the program's own totals ('s' key)."""
    if run.first_time is None:
        return None
    origin = run.first_time
    length = max(run.last_time - origin, 1e-3)
    times = run.advertisements_at(level_needed)
    figure, axes = plt.subplots(figsize=(10, 3))
    if times:
        bins = max(1, min(60, int(length)))
        width = length / bins
        counts = [0] * bins
        for t in times:
            counts[min(bins - 1, int((t - origin) / width))] += 1
        axes.bar([i * width for i in range(bins)], [c / width for c in counts], width=width,
                 align="edge", color="#31a354", label="counted one by one")
        for seg in run.segments:
            if seg.effective_level() < level_needed and seg.end is not None and seg.end > seg.start:
                axes.axvspan(seg.start - origin, seg.end - origin, color="#dddddd",
                             label="not counted at this level")
    elif len(run.statistics) >= 2:
        xs, ys = [], []
        for (t0, n0, _, _), (t1, n1, _, _) in zip(run.statistics, run.statistics[1:]):
            if t1 is not None and t0 is not None and t1 > t0 and n1 >= n0:
                xs += [t0 - origin, t1 - origin]
                ys += [(n1 - n0) / (t1 - t0)] * 2
        if not xs:
            plt.close(figure)
            return None
        axes.plot(xs, ys, color="#31a354", label="between the program's own totals ('s' key)")
    else:
        plt.close(figure)
        return None
    axes.set_xlim(0, length)
    axes.set_xlabel("seconds since the first timestamped line (%s)" % run.clock)
    axes.set_ylabel("advertisements per second")
    axes.set_title("Advertising rate")
    handles, labels = axes.get_legend_handles_labels()
    unique = dict(zip(labels, handles))
    axes.legend(unique.values(), unique.keys(), fontsize=8, loc="upper left",
                bbox_to_anchor=(1.01, 1.0))
    return _png(figure)
