"""The event schema refuses what the helper must never write, so that the
check of every line the process tests capture can fail, and takes the
records that are rare there."""

import json
import pathlib
import unittest

import jsonschema

# One record per rule.
REFUSED = [
    {"type": "hello"}, {"type": "listening", "extra": 1},
    {"type": "final", "text": "turn left\n", "reason": "silence"},
    {"type": "final", "text": "turn left", "reason": "timeout"},
    {"type": "level", "rms": 1.5}, {"type": "ready", "locale": "en_US"},
    {"type": "auth", "phase": "checking", "speech": "Denied", "mic": "denied"},
    {"type": "check", "ok": True, "speechAuthorized": True, "micAuthorized": False,
     "speechStatus": "SFSpeechRecognizerAuthorizationStatus",
     "micStatus": "AVAuthorizationStatus", "recognizerAvailable": True},
    {"type": "error", "message": "something broke", "fatal": True},
]
ACCEPTED = [
    {"type": "error", "message": "json encode failed", "fatal": True},
    {"type": "auth", "phase": "checking", "speech": "unknown(-1)",
     "mic": "unknown(9223372036854775807)"},
    {"type": "auth", "phase": "speechResult", "speech": "unknown(4)",
     "message": "Speech still unknown(4) after wait"},
    {"type": "final", "text": "isn't it\u00a0so", "reason": "error-with-partial"},
]


class EventSchemaTest(unittest.TestCase):
    def test_refuses_what_the_helper_never_writes_and_takes_the_rest(self) -> None:
        schema = json.loads((pathlib.Path(__file__).parents[2] /
                             "schema/quorvel-event.schema.json").read_text())
        jsonschema.Draft202012Validator.check_schema(schema)
        validator = jsonschema.Draft202012Validator(schema)
        for record in REFUSED:
            self.assertFalse(validator.is_valid(record), record)
        for record in ACCEPTED:
            validator.validate(record)


if __name__ == "__main__":
    unittest.main()
