"""The Python client driving the real helper: a recording played in place
of the microphone, the commands, and every way the helper can end.
QUORVEL_BINARY and QUORVEL_PRIVACY_BINARY name the programs under test."""

import asyncio
import os
import signal
import subprocess
import tempfile
import unittest

from quorvel import FatalError, Quorvel, UnexpectedExit

HELPER = os.environ["QUORVEL_BINARY"]
PRIVACY = os.environ["QUORVEL_PRIVACY_BINARY"]
# "and mister john dashwood had then leisure to consider ...", 7 s.
RECORDING = ("/usr/share/pocketsphinx/test/data/librivox/"
             "sense_and_sensibility_01_austen_64kb-0870.wav")


class QuorvelClientTest(unittest.TestCase):
    def setUp(self) -> None:
        folder = tempfile.TemporaryDirectory(prefix="quorvel-client-")
        self.addCleanup(folder.cleanup)
        self.env: dict[str, str | None] = {
            "QUORVEL_PRIVACY_FILE": folder.name + "/privacy",
            "QUORVEL_AUDIO_INPUT": RECORDING,
            "QUORVEL_MODEL_DIR": None,
            "LANGUAGE": "en_US", "LC_ALL": None, "LANG": "C.UTF-8",
            "PULSE_SERVER": "unix:" + folder.name + "/no-server",
        }

    def privacy(self, *args: str) -> None:
        store = {"QUORVEL_PRIVACY_FILE": str(self.env["QUORVEL_PRIVACY_FILE"])}
        subprocess.run([PRIVACY, *args], env=store, check=True, timeout=10)

    def start(self) -> Quorvel:
        helper = Quorvel(HELPER, env=self.env, stderr=subprocess.DEVNULL)
        self.addCleanup(helper.close)
        return helper

    def test_recording_gives_a_final_then_stop_ends_with_stopped(self) -> None:
        self.privacy("grant", "all")
        helper = self.start()
        final = next(event for event in helper if event["type"] == "final")
        # Its first words: on a busy machine a segment may end early.
        self.assertIn("john", final["text"])
        self.assertEqual(final["reason"], "silence")
        self.assertEqual(helper.stop(timeout=10), 0)
        self.assertEqual([event["type"] for event in helper][-1:], ["stopped"])

    def test_async_iteration_with_pause_resume_and_a_stop_mid_speech(self) -> None:
        self.privacy("grant", "all")
        helper = self.start()

        async def listen() -> tuple[list[str], int]:
            seen: list[str] = []
            status = -1
            async for event in helper:
                kind = event["type"]
                if kind in ("auth", "level"):
                    continue
                seen.append(f"final {event['reason']}" if kind == "final" else kind)
                if kind == "listening" and "paused" not in seen:
                    helper.pause()
                elif kind == "paused":
                    helper.resume()
                elif kind == "partial" and "paused" in seen and status == -1:
                    status = await asyncio.to_thread(helper.stop, 10)
            return seen, status

        seen, status = asyncio.run(asyncio.wait_for(listen(), 60))
        self.assertEqual(status, 0, seen)
        self.assertEqual(seen[seen.index("paused") + 1], "listening")
        # The text held at the stop is the last "final".
        self.assertEqual(seen[-2:], ["final stop", "stopped"])

    def test_fatal_record_and_a_killed_helper_raise(self) -> None:
        self.privacy("deny", "speech")
        with self.assertRaises(FatalError) as fatal:
            list(self.start())
        self.assertEqual(fatal.exception.status, 1)
        self.assertTrue(fatal.exception.message.endswith("status=denied"))

        self.privacy("grant", "all")
        helper = self.start()
        next(event for event in helper if event["type"] == "listening")
        os.kill(helper.pid, signal.SIGKILL)
        with self.assertRaises(UnexpectedExit) as gone:
            list(helper)
        self.assertEqual(gone.exception.status, -signal.SIGKILL)

    def test_stop_unanswered_before_listening_times_out_and_kills(self) -> None:
        # Speech undecided: the helper waits for a grant, reading no command.
        self.privacy("grant", "microphone")
        helper = self.start()
        next(event for event in helper
             if event.get("phase") == "waitingManualGrant")
        with self.assertRaises(TimeoutError):
            helper.stop(timeout=1)
        self.assertEqual(helper.returncode, -signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
