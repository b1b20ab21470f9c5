"""Turns the console log of a run into a Run.

The log is untrusted: it may be cut off, hold lines of several threads run into one
another, or not be a log at all. Every line that cannot be read is counted and skipped."""

import calendar
import re

from . import lines
from .model import UNNAMED, Connection, Run, Segment, Setup

_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f\ufffd]")


def timestamp_seconds(match):
    """Seconds of a "YYYY-MM-DD HH:MM:SS.mmm" match, on a scale of its own (the log's local
    time read as if it were UTC: only differences matter). None for an impossible date."""
    year, month, day, hour, minute, second, milli = (int(g) for g in match.groups())
    if not (1 <= month <= 12 and 1 <= day <= 31 and hour < 24 and minute < 60 and second < 61):
        return None
    return calendar.timegm((year, month, day, hour, minute, second, 0, 0, 0)) + milli / 1000.0


def pieces(text):
    """(timestamp or None, message) for each message in a text line; a line that holds
    another thread's timestamped message in its middle gives two pieces."""
    starts = [m.start() for m in lines.TIMESTAMP.finditer(text)]
    cuts = [0] + [s for s in starts if s > 0] + [len(text)]
    out = []
    for begin, end in zip(cuts, cuts[1:]):
        part = text[begin:end]
        match = lines.TIMESTAMP.match(part)
        if match:
            out.append((timestamp_seconds(match), part[match.end():].rstrip()))
        elif part.strip():
            out.append((None, part.strip()))
    return out


def read_log(path):
    """Reads the file; raises OSError when it cannot."""
    with open(path, "rb") as handle:
        return handle.read()


def parse(data):
    """Parses the bytes of a log into a Run."""
    parser = _Parser()
    parser.feed(data)
    return parser.run


class _Parser:
    def __init__(self):
        self.run = Run()
        self.run.segments.append(Segment(start=None, level=None))
        self.now = None
        self.level_before_start = None
        self.setup = None  # (phone, Setup) of the phone being connected or set up
        self.handles = {}  # connection handle -> (phone uuid, its Connection or None)
        self.links_ended = []  # (time, handles then) of links whose reason is still to come
        self.keepalive_targets = []
        self.targets_open = False
        self.gattc_abort_cause = None
        self.waiting_for_time = []  # set-ups whose end awaits the next timestamp
        self.segments_waiting_for_time = []

    # -- input ---------------------------------------------------------------------------
    def feed(self, data):
        run = self.run
        run.cut_off = bool(data) and not data.endswith(b"\n")
        text = data.decode("utf-8", errors="replace")
        raw_lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
        if raw_lines and raw_lines[-1] == "":
            raw_lines.pop()
        items = []
        for raw in raw_lines:
            run.lines += 1
            if _CONTROL.search(raw):
                run.garbage += 1
                raw = _CONTROL.sub(" ", raw)
            items.extend(pieces(raw))
        index = 0
        while index < len(items):
            stamp, message = items[index]
            found = lines.classify(message)
            if found is None and index + 1 < len(items) and items[index + 1][0] is None:
                # A message split over two lines by another thread's output.
                joined = lines.classify(message + items[index + 1][1])
                if joined is None:
                    joined = lines.classify(message + " " + items[index + 1][1])
                if joined is not None:
                    found = joined
                    index += 1
            index += 1
            if found is None:
                # Not even its timestamp is trusted: it may be garbage that looks like one.
                run.unrecognised += 1
                continue
            if stamp is not None:
                self.advance_time(stamp)
            run.recognised += 1
            run.untimed_after_last = 0 if stamp is not None else run.untimed_after_last + 1
            name, level, match = found
            segment = run.segments[-1]
            segment.evidence = max(segment.evidence, level)
            if name is not None:
                getattr(self, "on_" + name)(match)
        self.finish()

    def advance_time(self, stamp):
        run = self.run
        self.now = stamp
        if run.first_time is None:
            run.first_time = stamp
            run.segments[0].start = stamp
        run.first_time = min(run.first_time, stamp)
        run.last_time = stamp if run.last_time is None else max(run.last_time, stamp)
        for segment in self.segments_waiting_for_time:
            segment.start = stamp
        self.segments_waiting_for_time = []
        for setup in self.waiting_for_time:
            setup.end_high = stamp
        self.waiting_for_time = []

    def finish(self):
        run = self.run
        for seg in run.segments:
            if seg.start is None:
                seg.start = run.last_time
        for seg, following in zip(run.segments, run.segments[1:] + [None]):
            seg.end = following.start if following is not None else run.last_time

    def link_of_handle(self, handle, handles):
        """(uuid, Connection or None) of a handle in a mapping of the time, or None."""
        if handle in handles:
            return handles[handle]
        # Only one phone has a link whose handle the log did not give: it must be that one.
        open_unknown = [p for p in self.run.phones.values()
                        if p.connections and p.connections[-1].end is None
                        and p.connections[-1].handle is None]
        if len(open_unknown) == 1:
            return open_unknown[0].uuid, open_unknown[0].connections[-1]
        return None

    def name_handle(self, handle, uuid):
        phone = self.run.phone(uuid)
        connection = None
        if phone.connections and phone.connections[-1].end is None:
            connection = phone.connections[-1]
            connection.handle = handle
        self.handles[handle] = (uuid, connection)

    # -- start-up and level ----------------------------------------------------------------
    def on_level(self, match):
        level = int(match.group("level"))
        run = self.run
        if not run.saw_start:
            self.level_before_start = level
            return
        run.level_changes.append((self.now, level))
        # The line carries no timestamp: the change happened between the last timestamp and
        # the next. A raise is taken to start at the next one, a cut at the last one, so that
        # no stretch is credited with more detail than it had.
        previous = run.segments[-1].effective_level()
        start = self.now if level < previous else None
        run.segments.append(Segment(start=start, level=level, evidence=0))
        if start is None:
            self.segments_waiting_for_time.append(run.segments[-1])

    def on_key_help(self, match):
        run = self.run
        run.saw_start = True
        run.segments[0].level = self.level_before_start if self.level_before_start is not None else 0

    def on_serial_port(self, match):
        pass

    def on_exiting(self, match):
        self.run.saw_end = True

    def on_status(self, match):
        pass

    def on_driver_log(self, match):
        pass

    # -- advertisements ----------------------------------------------------------------------
    def on_found(self, match):
        phone = self.run.phone(match.group("uuid"))
        phone.attempts.append(self.now)
        phone.rssi.append((self.now, int(match.group("rssi")), "advertisement"))
        self.run.add_advertisement(self.now)
        setup = Setup(found=self.now)
        self.setup = (phone, setup)

    def on_adv_rssi(self, match):
        self.run.add_advertisement(self.now)
        uuid = match.group("uuid")
        if uuid in self.run.phones:
            self.run.phones[uuid].rssi.append((self.now, int(match.group("rssi")), "advertisement"))
        else:
            # Advertisers of UUIDs that are not monitored get no lane of their own.
            self.run.other_uuids.add(uuid)

    def on_adv_no_uuid(self, match):
        self.run.add_advertisement(self.now)

    def on_statistics(self, match):
        self.run.statistics.append((self.now, int(match.group("total")), float(match.group("rate")),
                                    int(match.group("uuid128"))))

    # -- connecting and set-up ----------------------------------------------------------------
    def on_connected(self, match):
        if self.setup is None:
            return
        phone, setup = self.setup
        phone.connections.append(Connection(start=self.now))
        phone.setups.append(setup)

    def end_attempt(self, match):
        self.setup = None

    on_connect_refused = on_connect_timeout = on_connect_never = end_attempt

    def on_discovering(self, match):
        if self.setup is None:
            return
        phone, setup = self.setup
        if setup not in phone.setups:
            # Connected at a level that does not print the connection itself.
            phone.connections.append(Connection(start=setup.found))
            phone.setups.append(setup)
        self.name_handle(int(match.group("handle")), phone.uuid)

    def on_setup_done(self, match):
        if self.setup is None:
            return
        setup = self.setup[1]
        setup.completed = True
        setup.end_low = self.now
        setup.end_high = None
        self.waiting_for_time.append(setup)

    def on_setup_end(self, match):
        self.setup = None

    def on_setup_no_answer(self, match):
        self.name_handle(int(match.group("handle")), match.group("uuid"))

    # -- keep-alive -------------------------------------------------------------------------
    def on_ka_target(self, match):
        if not self.targets_open:
            self.keepalive_targets = []
            self.targets_open = True
        self.keepalive_targets.append(match.group("uuid"))

    def next_target(self):
        self.targets_open = False
        if self.keepalive_targets:
            return self.run.phone(self.keepalive_targets.pop(0))
        return self.run.phone(UNNAMED)

    def on_ka_answered(self, match):
        self.next_target().keepalive_answered += 1

    def on_ka_answered_error(self, match):
        self.next_target().keepalive_answered_error += 1

    def on_ka_aborted(self, match):
        phone = self.next_target()
        if self.gattc_abort_cause == "timeout":
            phone.keepalive_timed_out += 1
        else:
            phone.keepalive_cut += 1
        self.gattc_abort_cause = None

    def on_ka_never(self, match):
        self.next_target().keepalive_timed_out += 1

    def on_ka_refused(self, match):
        self.next_target().keepalive_refused += 1

    def on_ka_skipped(self, match):
        self.keepalive_targets = []
        self.targets_open = False

    def on_ka_value(self, match):
        pass

    def on_gattc_timeout(self, match):
        self.gattc_abort_cause = "timeout"

    def on_gattc_cut(self, match):
        self.gattc_abort_cause = "disconnection"

    # -- challenges ---------------------------------------------------------------------------
    def on_challenge_ok(self, match):
        self.run.phone(match.group("uuid")).challenges_ok += 1
        self.name_handle(int(match.group("handle")), match.group("uuid"))

    def on_challenge_failed(self, match):
        self.run.phone(match.group("uuid")).challenges_failed += 1

    def on_notify(self, match):
        self.name_handle(int(match.group("handle")), match.group("uuid"))

    # -- disconnections and RSSI ----------------------------------------------------------------
    def on_link_ended(self, match):
        self.links_ended.append((self.now, dict(self.handles)))

    def on_disconnected(self, match):
        handle = int(match.group("handle"))
        reason = match.group("code") + " " + match.group("name")
        # Pair with the event thread's line for the same event (posted in order), and read
        # the handle as it was then: a new link may have taken the handle since.
        when, handles = self.links_ended.pop(0) if self.links_ended else (self.now, self.handles)
        link = self.link_of_handle(handle, handles)
        if link is None:
            self.run.phone(UNNAMED).disconnections.append((when, reason))
            return
        uuid, connection = link
        phone = self.run.phone(uuid)
        phone.disconnections.append((when, reason))
        if connection is None and phone.connections and phone.connections[-1].end is None:
            connection = phone.connections[-1]
        if connection is not None and connection.end is None:
            connection.end = when
            connection.reason = reason
        current = self.handles.get(handle)
        if current is not None and current[0] == uuid and current[1] is link[1]:
            del self.handles[handle]

    def on_link_rssi(self, match):
        link = self.handles.get(int(match.group("handle")))
        if link is not None:
            self.run.phone(link[0]).rssi.append((self.now, int(match.group("rssi")), "link"))

    def on_phone_status(self, match):
        self.name_handle(int(match.group("handle")), match.group("uuid"))

    def on_phone_idle(self, match):
        self.run.phone(match.group("uuid"))
