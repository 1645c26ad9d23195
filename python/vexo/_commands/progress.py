"""The progress of a conversion: a line per fault, the progress line and the summary.
"""

from __future__ import annotations

import time
from typing import Any

from vexo._archive.convert import Outcome
from vexo._names import shown_name


class Report:
    """Per-file faults as they come, a progress line on a terminal, the summary at the end."""

    def __init__(self, prog: str, total_files: int, total_bytes: int, stream: Any, *,
                 with_echoes: bool = False) -> None:
        self.prog, self.stream, self.with_echoes = prog, stream, with_echoes
        self.total_files, self.total_bytes = total_files, total_bytes
        self.live = hasattr(stream, "isatty") and stream.isatty()
        self.started = time.perf_counter()
        self.shown = 0.0
        self.files = self.bytes = self.converted_bytes = self.records = self.echoes = 0
        self.skipped = self.damaged = self.failed = self.missing_inputs = self.unreadable = 0

    @property
    def faults(self) -> int:
        return self.damaged + self.failed + self.missing_inputs + self.unreadable

    def line(self, text: str) -> None:
        self._clear()
        print(f"{self.prog}: {text}", file=self.stream, flush=True)

    def missing(self, name: str) -> None:
        self.missing_inputs += 1
        self.line(f"{shown_name(name)}: no such file, directory or match")

    def cannot_search(self, error: OSError) -> None:
        """A folder (or a file found in one) that the search for inputs could not read."""
        self.unreadable += 1
        self.line(f"{shown_name(error.filename)}: cannot be searched: {error.strerror}")

    def add(self, outcome: Outcome) -> None:
        self.files += 1
        self.bytes += outcome.bytes
        self.converted_bytes += 0 if outcome.skipped or outcome.failure else outcome.bytes
        self.records += outcome.records
        self.echoes += outcome.echoes
        self.skipped += outcome.skipped
        if outcome.failure:
            self.failed += 1
            self.line(f"{outcome.path}: {outcome.failure}")
        elif outcome.damage:
            self.damaged += 1
            self.line(f"{outcome.path}: {outcome.damage} ({outcome.records} good record"
                      f"{'s' if outcome.records != 1 else ''} converted"
                      f"{' earlier' if outcome.skipped else ''})")
        self._progress()

    def _progress(self) -> None:
        if not self.live:
            return
        now = time.perf_counter()
        if now - self.shown < 0.2 and self.files < self.total_files:
            return
        self.shown = now
        elapsed = max(now - self.started, 1e-9)
        rate = self.converted_bytes / elapsed
        speed = (f"{rate / 1e6:.0f} MB/s, "
                 f"{_duration((self.total_bytes - self.bytes) / rate)} left" if rate > 0 else
                 "starting")
        self.stream.write(f"\r\x1b[K{self.prog}: {self.files} of {self.total_files} files, "
                          f"{speed}")
        self.stream.flush()

    def _clear(self) -> None:
        if self.live and self.shown:
            self.stream.write("\r\x1b[K")

    def summary(self) -> None:
        elapsed = time.perf_counter() - self.started
        converted = self.files - self.skipped - self.failed
        self.line(
            f"{self.files} files ({converted} converted, {self.skipped} up to date, "
            f"{self.failed} failed), {self.records} records"
            + (f", {self.echoes} echoes" if self.with_echoes else "") + "; "
            f"{self.converted_bytes / 1e6:.1f} MB converted in {elapsed:.1f} s "
            f"({self.converted_bytes / 1e6 / max(elapsed, 1e-9):.0f} MB/s); "
            f"{self.damaged} damaged"
            + (f"; {self.missing_inputs} inputs named nothing" if self.missing_inputs else "")
            + (f"; {self.unreadable} paths could not be searched" if self.unreadable else ""))


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
