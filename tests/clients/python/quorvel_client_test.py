"""The Python client driving the real helper (QUORVEL_BINARY, with
QUORVEL_PRIVACY_BINARY) on a recording, through every way it ends."""

import asyncio
import os
import plistlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from typing import Any

from quorvel import FatalError, Quorvel, UnexpectedExit


class QuorvelClientTest(unittest.TestCase):
    def start(self, *grants: str, **options: Any) -> Quorvel:
        folder = tempfile.TemporaryDirectory(prefix="quorvel-client-")
        self.addCleanup(folder.cleanup)
        store = {"QUORVEL_PRIVACY_FILE": folder.name + "/privacy"}
        for permission in grants:
            subprocess.run([os.environ["QUORVEL_PRIVACY_BINARY"], *permission.split()],
                           env=store, check=True, timeout=10)
        options.setdefault("stderr", subprocess.DEVNULL)
        helper = Quorvel(os.environ["QUORVEL_BINARY"], **options, env={
            **store, "QUORVEL_MODEL_DIR": None, "LANGUAGE": "en_US", "LC_ALL": None,
            "LANG": "C.UTF-8", "PULSE_SERVER": "unix:" + folder.name + "/none",
            "QUORVEL_AUDIO_INPUT": "/usr/share/pocketsphinx/test/data/librivox/"
                                   "sense_and_sensibility_01_austen_64kb-0870.wav"})
        self.addCleanup(helper.close)
        return helper

    def test_finals_then_a_stop_that_ends_with_stopped(self) -> None:
        helper = self.start("grant all")
        final = next(event for event in helper if event["type"] == "final")
        # "and mister john dashwood ...": a busy machine may end it early.
        self.assertIn("john", final["text"])
        self.assertEqual(helper.stop(timeout=10), 0)
        self.assertEqual([event["type"] for event in helper][-1:], ["stopped"])

    def test_async_pause_resume_and_a_stop_mid_speech(self) -> None:
        helper = self.start("grant all")

        async def listen() -> tuple[list[str], int]:
            seen, status = [], -1
            async for event in helper:
                kind = event["type"]
                if kind not in ("auth", "level"):
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
        self.assertEqual(seen[-2:], ["final stop", "stopped"])

    def test_phrases_in_a_private_file_that_changes_while_listening(self) -> None:
        with tempfile.TemporaryFile("w+") as err:
            helper = self.start("grant all", stderr=err, phrases=["Dashwood"])
            next(event for event in helper if event["type"] == "final")
            err.seek(0)
            file = re.search(r"quorvel: read 1 phrase from (\S+)\n", err.read())[1]
            self.assertEqual(os.stat(os.path.dirname(file)).st_mode & 0o077, 0)
            with self.assertRaises(ValueError):
                helper.set_phrases(["john\ndashwood"])
            for wrong in ("Dashwood", b"Dashwood"):  # not one phrase a letter
                self.assertRaises(TypeError, helper.set_phrases, wrong)
                self.assertRaises(TypeError, Quorvel, "/nonexistent", phrases=wrong)
            helper.set_phrases(["john dashwood", "leisure"])
            deadline = time.monotonic() + 30
            for _ in helper:  # until a segment has read the new file
                err.seek(0)
                if "read 2 phrases" in err.read() or time.monotonic() > deadline:
                    break
            self.assertEqual(helper.stop(timeout=10), 0)
            helper.close()
            self.assertFalse(os.path.exists(file))
            err.seek(0)
            self.assertIn(f"quorvel: read 2 phrases from {file}\n", err.read())

    def test_fatal_record_killed_helper_and_unanswered_stop(self) -> None:
        with self.assertRaises(FatalError) as fatal:
            list(self.start("deny speech"))
        self.assertEqual(fatal.exception.status, 1)
        self.assertTrue(fatal.exception.message.endswith("status=denied"))
        helper = self.start("grant all")
        next(event for event in helper if event["type"] == "listening")
        os.kill(helper.pid, signal.SIGKILL)
        with self.assertRaises(UnexpectedExit) as gone:
            list(helper)
        self.assertEqual(gone.exception.status, -signal.SIGKILL)
        # Speech undecided: the helper waits for a grant, reading no command.
        helper = self.start("grant microphone")
        next(event for event in helper if event.get("phase") == "waitingManualGrant")
        with self.assertRaises(TimeoutError):
            helper.stop(timeout=1)
        self.assertEqual(helper.returncode, -signal.SIGKILL)

    def test_built_and_installed_with_pip_offline_in_the_helpers_version(self) -> None:
        # The two folders the package is made from, copied: the build
        # writes nothing into the source tree.
        work = tempfile.mkdtemp(prefix="quorvel-package-")
        self.addCleanup(shutil.rmtree, work)
        source = os.path.join(os.path.dirname(__file__), "../../..")
        for folder in ("clients/python", "bundle"):
            shutil.copytree(f"{source}/{folder}", f"{work}/{folder}",
                            ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
        with open(f"{work}/bundle/Info.plist", "rb") as plist:
            version = plistlib.load(plist)["CFBundleShortVersionString"]
        # Debian's setuptools and wheel, seen from the environment; no index.
        bare = {"PATH": "/usr/bin:/bin", "HOME": work, "PIP_NO_INDEX": "1"}
        for command in ([sys.executable, "-m", "build", "--no-isolation", "-o", "dist", "clients/python"],
                        [sys.executable, "-m", "venv", "--system-site-packages", "venv"],
                        ["venv/bin/pip", "install", "-q", "--no-build-isolation", "./clients/python"]):
            subprocess.run(command, cwd=work, env=bare, check=True, timeout=120,
                           stdout=subprocess.DEVNULL)
        # The wheel is built from the sdist, which has no Info.plist.
        self.assertEqual(sorted(os.listdir(f"{work}/dist")),
                         [f"quorvel-{version}-py3-none-any.whl", f"quorvel-{version}.tar.gz"])
        found = subprocess.run(
            ["venv/bin/python", "-c", "import importlib.metadata as m, quorvel; "
             "print(quorvel.__file__, m.version('quorvel'), quorvel.FatalError.__name__)"],
            cwd=work, env=bare, check=True, timeout=30, capture_output=True, text=True)
        file, installed, name = found.stdout.split()
        self.assertEqual((file.startswith(f"{work}/venv/"), installed, name),
                         (True, version, "FatalError"))


if __name__ == "__main__":
    unittest.main()
