"""The text summary of a run."""

from collections import Counter

from .lines import LEVEL_FOR
from .model import UNNAMED
from .stats import spread


def clock_text(seconds):
    if seconds is None:
        return "?"
    whole = int(seconds)
    return "%02d:%02d:%02d.%03d" % (whole // 3600 % 24, whole // 60 % 60, whole % 60,
                                     int(round((seconds - whole) * 1000)) % 1000)


def length_text(seconds):
    whole = int(seconds)
    return "%d:%02d:%02d.%03d (%.1f s)" % (whole // 3600, whole // 60 % 60, whole % 60,
                                           int(round((seconds - whole) * 1000)) % 1000, seconds)


def level_text(run):
    first = run.segments[0]
    if first.level is not None:
        text = "-v%d at the start" % first.level
    else:
        text = "not in the log (it begins after the start); lines of level %d or less seen" % first.evidence
    for seg in run.segments[1:]:
        text += "; %d from about %s" % (seg.level, clock_text(seg.start))
    return text


def availability(run, what):
    """None when the whole log is at the level that prints `what`, else a note: either the
    figure covers only part of the run, or the log cannot give it at all."""
    if run.clock != "console timestamps":
        return None
    level = LEVEL_FOR[what]
    covered, total, every = run.coverage(level)
    if every:
        return None
    if not run.ever_at(level):
        return "not in this log (%s need -v%d or more; this log is at %s)" % (
            what, level, _levels_seen(run))
    return "only while at -v%d or more (%.1f s of %.1f s)" % (level, covered, total)


def _levels_seen(run):
    levels = sorted({seg.effective_level() for seg in run.segments})
    known = all(seg.level is not None for seg in run.segments)
    return ("-v" if known else "at least -v") + "/".join(str(level) for level in levels)


def _count_line(run, what, count_text):
    note = availability(run, what)
    if note is not None and note.startswith("not in this log"):
        return note
    return count_text + ("" if note is None else " [" + note + "]")


def setup_time_bounds(phone):
    """(shortest, longest) possible time of each completed set-up: its end line carries no
    timestamp, so it lies between the last timestamp before it and the first after it (none
    after it: the log ends there, and the longest is unknown)."""
    return [(s.end_low - s.found, None if s.end_high is None else s.end_high - s.found)
            for s in phone.setups
            if s.completed and s.found is not None and s.end_low is not None]


def setup_time_text(bounds):
    low = spread([lo for lo, _ in bounds])
    highs = [hi for _, hi in bounds]
    high = spread(highs) if None not in highs else None
    names = ("median", "95th percentile", "max")
    if high is not None and all(abs(h - l) < 0.0005 for h, l in zip(high, low)):
        return ", ".join("%s %.3f s" % (n, v) for n, v in zip(names, low)) + " (n=%d)" % len(bounds)
    if high is None:
        parts = ["%s at least %.3f s" % (n, v) for n, v in zip(names, low)]
    else:
        parts = ["%s %.3f to %.3f s" % (n, l, h) for n, l, h in zip(names, low, high)]
    return ", ".join(parts) + (" (n=%d; a set-up's end carries no timestamp: each lies between "
                               "the timestamps printed before and after it)" % len(bounds))


def trace_phone_lines(run, phone):
    reasons = Counter(reason for _, reason in phone.disconnections)
    text = "%d" % len(phone.disconnections)
    if reasons:
        text += ": " + ", ".join("%d x %s" % (n, r) for r, n in sorted(reasons.items()))
    return ["  connections: %d" % len(phone.connections),
            "  disconnections: " + text,
            "  RSSI: " + rssi_text(run, phone)]


def phone_lines(run, phone):
    if run.clock != "console timestamps":
        return trace_phone_lines(run, phone)
    out = []
    out.append("  connection attempts (FOUND): " + _count_line(run, "connection attempts",
                                                               str(len(phone.attempts))))
    out.append("  connections: " + _count_line(run, "connections", str(len(phone.connections))))
    setups = phone.setups
    completed = [s for s in setups if s.completed]
    out.append("  set-ups completed: " + _count_line(
        run, "set-ups", "%d of %d started" % (len(completed), len(setups))))
    note = availability(run, "set-ups")
    times = setup_time_bounds(phone)
    if note is not None and note.startswith("not in this log"):
        out.append("  set-up time: " + note)
    elif not times:
        out.append("  set-up time: no set-up completed")
    else:
        out.append("  set-up time (FOUND to end of metadata): " + setup_time_text(times)
                   + ("" if note is None else " [" + note + "]"))
    out.append("  keep-alive reads: " + _count_line(
        run, "keep-alive reads",
        "%d answered, %d timed out, %d cut by a disconnection, %d refused%s" % (
            phone.keepalive_answered, phone.keepalive_timed_out, phone.keepalive_cut,
            phone.keepalive_refused,
            ", %d answered with an error" % phone.keepalive_answered_error
            if phone.keepalive_answered_error else "")))
    out.append("  challenges: " + _count_line(
        run, "challenges", "%d set, %d failed" % (phone.challenges_ok, phone.challenges_failed)))
    reasons = Counter(reason for _, reason in phone.disconnections)
    text = "%d" % len(phone.disconnections)
    if reasons:
        text += ": " + ", ".join("%d x %s" % (n, r) for r, n in sorted(reasons.items()))
    if phone.uuid != UNNAMED and UNNAMED in run.phones and run.phones[UNNAMED].disconnections:
        text += " [more under %s: %s]" % (UNNAMED, availability(run, "phone of a disconnection")
                                          or "their connection handle was never named")
    out.append("  disconnections: " + _count_line(run, "disconnections", text))
    out.append("  RSSI: " + rssi_text(run, phone))
    return out


def unnamed_lines(run, phone):
    """What happened on links whose phone the log does not name."""
    out = []
    if phone.disconnections:
        reasons = Counter(reason for _, reason in phone.disconnections)
        out.append("  disconnections: %d: " % len(phone.disconnections)
                   + ", ".join("%d x %s" % (n, r) for r, n in sorted(reasons.items())))
    reads = (phone.keepalive_answered, phone.keepalive_timed_out, phone.keepalive_cut,
             phone.keepalive_refused)
    if any(reads):
        out.append("  keep-alive reads: %d answered, %d timed out, %d cut by a disconnection, "
                   "%d refused (-v4 names the phone of each read)" % reads)
    return ["Links of phones the log does not name"] + out if out else []


def rssi_text(run, phone):
    values = [dbm for _, dbm, _ in phone.rssi]
    if not values:
        return "not in this log (FOUND lines need -v1, every advertisement's RSSI -v6, " \
               "the link's RSSI -v7)"
    sources = Counter(source for _, _, source in phone.rssi)
    text = "min %d, median %g, max %d dBm (%d samples: %d from advertisements, %d of the link)" % (
        min(values), spread(values)[0], max(values), len(values), sources["advertisement"],
        sources["link"])
    if run.clock == "console timestamps":
        missing = []
        if not run.ever_at(6):
            missing.append("every advertisement's RSSI needs -v6")
        if not run.ever_at(7):
            missing.append("the link's RSSI needs -v7")
        if missing:
            text += " [" + "; ".join(missing) + "]"
    return text


def advertisement_lines(run):
    out = []
    note = availability(run, "advertisements")
    if note is not None and note.startswith("not in this log"):
        out.append("  counted one by one: " + note)
    else:
        covered, total, _ = run.coverage(LEVEL_FOR["advertisements"])
        count = len(run.advertisements_at(LEVEL_FOR["advertisements"]))
        rate = "%.2f/s" % (count / covered) if covered > 0 else "rate not in this log"
        out.append("  counted one by one: %d, %s%s" % (count, rate,
                                                       "" if note is None else " [" + note + "]"))
    if run.statistics:
        when, total, rate, uuid128 = run.statistics[-1]
        out.append("  the program's own count ('s' key, last at %s): %d in all (%.2f/s), "
                   "%d with a 128-bit UUID" % (clock_text(when), total, rate, uuid128)
                   + " (rate by the program's clock, which a simulated world may speed up)")
    elif run.clock == "console timestamps":
        out.append("  the program's own count: not in this log (the 's' key prints it at any level)")
    if run.other_uuids:
        out.append("  other 128-bit UUIDs heard: %d" % len(run.other_uuids))
    return out


def summary(run, source):
    out = []
    out.append("Run (%s)" % source)
    if run.clock == "console timestamps":
        details = "%d lines, %d read, %d not recognised" % (run.lines, run.recognised, run.unrecognised)
        if run.garbage:
            details += ", %d with binary garbage" % run.garbage
        if run.cut_off:
            details += ", last line cut off"
        out.append("  log: " + details)
        out.append("  start: " + ("in the log" if run.saw_start else
                                  "not in the log (it begins in the middle of a run)"))
        out.append("  end: " + ("orderly (\"Exiting\")" if run.saw_end else
                                "not in the log (cut off, still running, or ended at once)"))
        out.append("  logging level: " + level_text(run))
    if run.first_time is None:
        out.append("  run length: not in this log (no timestamped line)")
    else:
        length = run.duration()
        what = "first to last timestamped line" if run.clock == "console timestamps" \
            else "simulated time, first to last trace line"
        bound = "at least " if run.clock == "console timestamps" and (
            run.untimed_after_last or not run.saw_end) else ""
        out.append("  run length: %s%s (%s to %s, %s)" % (
            bound, length_text(length), clock_text(run.first_time), clock_text(run.last_time), what))
    for when, text in run.faults:
        out.append("  fault at %s: %s" % (clock_text(when), text))
    out.append("Advertisements")
    out.extend(advertisement_lines(run))
    phones = sorted(p for p in run.phones if p != UNNAMED)
    if not phones:
        out.append("Phones: none named in this log")
    for uuid in phones:
        out.append("Phone " + uuid)
        out.extend(phone_lines(run, run.phones[uuid]))
    if UNNAMED in run.phones:
        out.extend(unnamed_lines(run, run.phones[UNNAMED]))
    return "\n".join(out) + "\n"
