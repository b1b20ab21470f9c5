"""What a run looked like, as far as a log (or a trace) shows it."""

from dataclasses import dataclass, field
from typing import List, Optional

UNNAMED = "(phone not named in the log)"


@dataclass
class Connection:
    start: float
    end: Optional[float] = None
    reason: Optional[str] = None
    handle: Optional[int] = None


@dataclass
class Setup:
    found: float
    # The end of a set-up carries no timestamp: it lies between the last timestamp printed
    # before it and the first one printed after it.
    end_low: Optional[float] = None
    end_high: Optional[float] = None
    completed: bool = False


@dataclass
class Phone:
    uuid: str
    attempts: List[float] = field(default_factory=list)
    connections: List[Connection] = field(default_factory=list)
    setups: List[Setup] = field(default_factory=list)
    keepalive_answered: int = 0
    keepalive_answered_error: int = 0
    keepalive_timed_out: int = 0
    keepalive_cut: int = 0
    keepalive_refused: int = 0
    challenges_ok: int = 0
    challenges_failed: int = 0
    # (time, "0x0013 NAME")
    disconnections: List[tuple] = field(default_factory=list)
    # (time, dBm, source) with source "advertisement" or "link"
    rssi: List[tuple] = field(default_factory=list)


@dataclass
class Segment:
    """A stretch of the run at one logging level."""
    start: Optional[float]
    level: Optional[int]  # None: the log does not say
    evidence: int = 0  # the highest level of any line seen in it
    end: Optional[float] = None

    def effective_level(self):
        # A line printed is proof of its level, even where the log says less (a level line
        # lost in a damaged log).
        return max(self.level, self.evidence) if self.level is not None else self.evidence


@dataclass
class Run:
    phones: dict = field(default_factory=dict)
    segments: List[Segment] = field(default_factory=list)
    first_time: Optional[float] = None
    last_time: Optional[float] = None
    saw_start: bool = False
    saw_end: bool = False
    cut_off: bool = False
    lines: int = 0
    recognised: int = 0
    unrecognised: int = 0
    garbage: int = 0
    # recognised lines after the last timestamped one: the run went on for an unknown time
    untimed_after_last: int = 0
    advertisements: List[float] = field(default_factory=list)
    # the stretch of the run each advertisement was logged in
    advertisement_segments: List[Segment] = field(default_factory=list)
    # (time, total, rate per second, 128-bit total) from the 's' key
    statistics: List[tuple] = field(default_factory=list)
    level_changes: List[tuple] = field(default_factory=list)
    other_uuids: set = field(default_factory=set)
    # (time, text) of faults that struck, from a trace
    faults: List[tuple] = field(default_factory=list)
    clock: str = "console timestamps"

    def phone(self, uuid):
        if uuid not in self.phones:
            self.phones[uuid] = Phone(uuid)
        return self.phones[uuid]

    def add_advertisement(self, when):
        self.advertisements.append(when)
        self.advertisement_segments.append(self.segments[-1])

    def advertisements_at(self, level):
        """Times of the advertisements logged while every advertisement was being logged
        (a FOUND line at a lower level is one advertisement among many unseen)."""
        return [t for t, seg in zip(self.advertisements, self.advertisement_segments)
                if t is not None and seg.effective_level() >= level]

    def duration(self):
        if self.first_time is None:
            return None
        return self.last_time - self.first_time

    def coverage(self, level):
        """(seconds at `level` or above, seconds in all, whether every stretch was)."""
        total = covered = 0.0
        every = True
        for seg in self.segments:
            length = max(0.0, (seg.end or 0.0) - (seg.start or 0.0)) if seg.start is not None else 0.0
            total += length
            if seg.effective_level() >= level:
                covered += length
            else:
                every = False
        return covered, total, every

    def ever_at(self, level):
        return any(seg.effective_level() >= level for seg in self.segments)
