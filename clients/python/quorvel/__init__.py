"""A client for quorvel, the speech-recognition helper: starts it, hands
over its events as dicts, steers it and stops it. Standard library only.

    from quorvel import Quorvel

    with Quorvel() as helper:
        for event in helper:
            if event["type"] == "final":
                print(event["text"])

One thread of the client reads the helper's standard output, so a parent
may iterate in one thread and call pause(), resume() or stop() from
another; `async for` iterates from an asyncio task. The keys of each
record are described by the JSON Schema installed as
/usr/share/quorvel/schema/quorvel-event.schema.json.
"""

from __future__ import annotations

import asyncio
import collections
import json
import os
import shutil
import subprocess
import tempfile
import threading
from collections.abc import AsyncIterator, Iterable, Mapping
from typing import IO, Any

__all__ = ["Event", "FatalError", "Quorvel", "QuorvelError", "UnexpectedExit"]

# One record of the event stream: "type" and the record's other keys,
# whose values are strings, booleans or (for "rms") a number.
Event = dict[str, Any]

# The message of the line that replaces a record the helper could not
# encode. It says fatal, yet the helper goes on.
_ENCODING_FALLBACK = "json encode failed"


class QuorvelError(Exception):
    """The helper failed, ended unexpectedly, or wrote something that is
    not an event record."""


class FatalError(QuorvelError):
    """The helper wrote a fatal "error" record (a permission is missing, no
    recogniser, no audio input) and exited with `status`."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(f"{message} (exit status {status})")
        self.message = message
        self.status = status


class UnexpectedExit(QuorvelError):
    """The helper's output ended without "stopped" or a fatal record.
    `status` is its exit status, negative for death by a signal."""

    def __init__(self, status: int) -> None:
        super().__init__(f"quorvel exited unexpectedly with status {status}")
        self.status = status


def _phrase_lines(phrases: Iterable[str]) -> list[str]:
    if isinstance(phrases, (str, bytes, bytearray)):
        raise TypeError(f"phrases must be a list of strings, not {type(phrases).__name__}")
    lines = []
    for phrase in phrases:
        if "\n" in phrase or "\r" in phrase:
            raise ValueError(f"a phrase holds a line break: {phrase!r}")
        lines.append(phrase + "\n")
    return lines


class Quorvel:
    """A running helper. Iterating yields its events in order and ends
    after "stopped"; a fatal record raises FatalError and any other end
    UnexpectedExit, at the point where the stream ends."""

    def __init__(
        self,
        path: str | os.PathLike[str] = "quorvel",
        *,
        args: Iterable[str] = (),
        env: Mapping[str, str | None] | None = None,
        stderr: int | IO[Any] | None = None,
        phrases: Iterable[str] | None = None,
    ) -> None:
        """Starts the helper at `path` (searched in PATH when it has no
        "/") with `args`. `env` adds to or overrides this process's
        environment; a value of None removes the variable. The helper's
        diagnostics go to `stderr`, as for subprocess.Popen (default: this
        process's standard error). With `phrases` (words and short phrases
        the users will say, even none yet), the helper expects them, and
        set_phrases() changes them while it runs; raises ValueError for a
        phrase that holds a line break, TypeError for a str or bytes."""
        lines = None if phrases is None else _phrase_lines(phrases)
        environment = dict(os.environ)
        for name, value in (env or {}).items():
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        # The helper reads the phrases from a file of the client's own, in a
        # folder only this user may enter, gone again after close().
        self._phrases_folder: str | None = None
        if lines is not None:
            self._phrases_folder = tempfile.mkdtemp(prefix="quorvel-phrases-")
            args = [*args, "--phrases", os.path.join(self._phrases_folder, "phrases")]
        try:
            if lines is not None:
                self._write_phrases(lines)
            self._process = subprocess.Popen(
                [os.fspath(path), *args],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=stderr,
                env=environment,
            )
        except BaseException:
            self._remove_phrases()
            raise
        self._changed = threading.Condition()
        # Guarded by _changed: what the reader has seen and the parent has
        # not taken yet, and the stream's end.
        self._pending: collections.deque[Event | QuorvelError] = collections.deque()
        self._ended = False
        self._failure: QuorvelError | None = None
        self._writing = threading.Lock()
        self._reader = threading.Thread(
            target=self._read, name="quorvel-events", daemon=True
        )
        self._reader.start()

    @property
    def pid(self) -> int:
        return self._process.pid

    @property
    def returncode(self) -> int | None:
        """The exit status once the helper has ended (negative for a
        signal), else None."""
        return self._process.returncode if self._ended else None

    def pause(self) -> None:
        """Asks the helper to release the microphone; it answers "paused"."""
        self._send("pause\n")

    def resume(self) -> None:
        """Asks a paused helper to listen again; it answers "listening"."""
        self._send("resume\n")

    def set_phrases(self, phrases: Iterable[str]) -> None:
        """Replaces the phrases the helper expects (a helper started with
        `phrases` only); it reads them when its next segment starts (after
        the next "listening"). Case does not matter; the helper takes at
        most 1,000 and says on its standard error which it cannot use.
        Raises ValueError for a phrase that holds a line break, TypeError
        for a str or bytes (which would be one letter a line)."""
        if self._phrases_folder is None:
            raise QuorvelError("quorvel was started without phrases")
        self._write_phrases(_phrase_lines(phrases))

    def _write_phrases(self, lines: list[str]) -> None:
        assert self._phrases_folder is not None
        # Written whole under another name, then put in place at once: the
        # helper never reads half a list.
        with tempfile.NamedTemporaryFile(
            "w", encoding="utf-8", dir=self._phrases_folder, delete=False
        ) as new:
            new.writelines(lines)
        os.replace(new.name, os.path.join(self._phrases_folder, "phrases"))

    def stop(self, timeout: float = 5.0) -> int:
        """Asks for an orderly stop and waits up to `timeout` seconds for
        "stopped" and the exit; returns the exit status (0). The events
        that arrive meanwhile, the last "final" among them, can still be
        iterated. Raises FatalError or UnexpectedExit when the helper ended
        otherwise, and TimeoutError, after killing it, when it did not stop
        in time. Blocks: from asyncio, await asyncio.to_thread(h.stop)."""
        try:
            self._send("stop\n")
        except QuorvelError:
            pass  # already gone; the end tells how
        with self._writing:
            if self._process.stdin and not self._process.stdin.closed:
                try:
                    self._process.stdin.close()
                except BrokenPipeError:
                    pass
        with self._changed:
            ended = self._changed.wait_for(lambda: self._ended, timeout)
        if not ended:
            self._process.kill()
            self._reader.join()
            raise TimeoutError(f"quorvel did not stop within {timeout} s; killed")
        if self._failure is not None:
            raise self._failure
        return self._process.returncode

    def close(self) -> None:
        """Stops the helper if it still runs (killing it when it does not
        stop within 5 s) and releases its pipes. Never raises."""
        if not self._ended:
            try:
                self.stop()
            except (QuorvelError, TimeoutError):
                pass
        self._reader.join()
        for pipe in (self._process.stdin, self._process.stdout):
            if pipe:
                try:
                    pipe.close()
                except BrokenPipeError:
                    pass
        self._remove_phrases()

    def _remove_phrases(self) -> None:
        if self._phrases_folder is not None:
            shutil.rmtree(self._phrases_folder, ignore_errors=True)

    def __enter__(self) -> Quorvel:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __iter__(self) -> Quorvel:
        return self

    def __next__(self) -> Event:
        with self._changed:
            self._changed.wait_for(lambda: self._pending or self._ended)
            event = self._take()
        if event is None:
            raise StopIteration
        return event

    def __aiter__(self) -> AsyncIterator[Event]:
        return self._events()

    async def _events(self) -> AsyncIterator[Event]:
        while True:
            with self._changed:
                ready = bool(self._pending) or self._ended
                event = self._take() if ready else None
            if ready:
                if event is None:
                    return
                yield event
            else:
                # Waits without taking anything, so a cancelled iteration
                # loses no event; the bound lets the worker thread go.
                await asyncio.to_thread(self._wait_for_event, 0.5)

    def _wait_for_event(self, timeout: float) -> None:
        with self._changed:
            self._changed.wait_for(lambda: self._pending or self._ended, timeout)

    # REQUIRES: _changed held, and something pending or the stream ended.
    # Returns the next event, None at an orderly end, or raises.
    def _take(self) -> Event | None:
        if self._pending:
            item = self._pending.popleft()
            if isinstance(item, QuorvelError):
                raise item
            return item
        if self._failure is not None:
            raise self._failure
        return None

    def _send(self, command: str) -> None:
        with self._writing:
            stdin = self._process.stdin
            try:
                if stdin is None or stdin.closed:
                    raise BrokenPipeError
                stdin.write(command.encode())
                stdin.flush()
            except BrokenPipeError:
                raise QuorvelError("quorvel no longer reads commands") from None

    def _deliver(self, item: Event | QuorvelError) -> None:
        with self._changed:
            self._pending.append(item)
            self._changed.notify_all()

    # The reader thread: every line of standard output, then the end.
    def _read(self) -> None:
        assert self._process.stdout is not None
        fatal: Event | None = None
        stopped = False
        for line in self._process.stdout:
            try:
                record = json.loads(line)
                if not isinstance(record, dict) or "type" not in record:
                    raise ValueError
            except ValueError:
                self._deliver(QuorvelError(f"not an event record: {line[:200]!r}"))
                continue
            if (record["type"] == "error" and record.get("fatal") is True
                    and record.get("message") != _ENCODING_FALLBACK):
                fatal = record
                continue  # reported as FatalError once the exit status is known
            stopped = stopped or record["type"] == "stopped"
            self._deliver(record)
        status = self._process.wait()
        with self._changed:
            if fatal is not None:
                self._failure = FatalError(str(fatal.get("message")), status)
            elif not stopped:
                self._failure = UnexpectedExit(status)
            self._ended = True
            self._changed.notify_all()
