"""A progress line on standard error for long runs: done/total, rate and time left."""

from __future__ import annotations

import sys
import time

DELAY = 1.0  # seconds of work before the line first appears (short runs show none)
EVERY = 0.1  # seconds between two updates
BAR = 20


def _size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f}{unit}" if unit == "B" else f"{n:.1f}{unit}"
        n /= 1000
    raise AssertionError


def _clock(seconds: float) -> str:
    seconds = int(seconds)
    h, rest = divmod(seconds, 3600)
    return f"{h}:{rest // 60:02d}:{rest % 60:02d}" if h else f"{rest // 60:02d}:{rest % 60:02d}"


def line(done: int, total: int | None, elapsed: float, values: int) -> str:
    """The text of the progress line: ' 45%|█████     | 22.5MB/50.0MB [00:10<00:12, 2.3MB/s, 812 values]'."""
    rate = done / elapsed if elapsed > 0 else 0.0
    speed = f"{_size(rate)}/s"
    count = f"{values} value{'s' * (values != 1)}"
    if total:
        part = min(done / total, 1.0)
        full = int(part * BAR)
        eighths = int((part * BAR - full) * 8)
        bar = ("█" * full + ("▏▎▍▌▋▊▉"[eighths - 1] if eighths else "")).ljust(BAR)
        left = _clock((total - done) / rate) if rate > 0 else "?"
        return f"{part * 100:3.0f}%|{bar}| {_size(done)}/{_size(total)} [{_clock(elapsed)}<{left}, {speed}, {count}]"
    return f"{_size(done)} [{_clock(elapsed)}, {speed}, {count}]"


class Progress:
    """Updated through update(done, values); shows the line on a terminal only (or as told),
    from DELAY seconds on, at most every EVERY seconds; close() clears it."""

    def __init__(self, total: int | None, wanted: bool | None, stream=None):
        self.stream = stream if stream is not None else sys.stderr
        if wanted is None:
            try:
                wanted = self.stream.isatty()
            except (AttributeError, ValueError):
                wanted = False
        self.on = bool(wanted)
        self.total = total
        self.start = time.monotonic()
        self.next = self.start + DELAY
        self.shown = 0  # width of the line on screen

    def update(self, done: int, values: int) -> None:
        if not self.on:
            return
        now = time.monotonic()
        if now < self.next:
            return
        self.next = now + EVERY
        self._show(line(done, self.total, now - self.start, values))

    def _show(self, text: str) -> None:
        pad = " " * max(0, self.shown - len(text))
        self.stream.write("\r" + text + pad)
        self.stream.flush()
        self.shown = len(text)

    def close(self) -> None:
        """Clear the line, so that messages after it start on a clean line."""
        if self.on and self.shown:
            self.stream.write("\r" + " " * self.shown + "\r")
            self.stream.flush()
            self.shown = 0
