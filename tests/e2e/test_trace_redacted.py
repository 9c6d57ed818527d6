"""A redacted identity-card session, end to end through the real binaries:
dorvent-emu records it with --trace, the file holds none of the holder's
data, and dorvent-emu --replay serves it again: every report of the card's
find, select, read and UID steps matches, readIDCardUID answers as
recorded, and readIDCard differs only where the holder's data was."""
import glob
import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "traces"))
from harness import Service, binaries, main, requests  # noqa: E402
import replay  # noqa: E402

HOLDER = ["林晓雯", "330106199203140023", "杭州市公安局西湖分局", "19920314"]
SESSION = [json.dumps({"_act": act}) for act in ("open", "readIDCard", "readIDCardUID")]


class RedactedIdCardTrace(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="dorvent-trace-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def record(self):
        with Service(binaries().dorvent_emu, args=["--trace", self.folder]):
            replies = [json.loads(text) for text in requests(*SESSION)]
        files = glob.glob(os.path.join(self.folder, "*.trace"))
        self.assertEqual(len(files), 1, files)
        return files[0], replies

    def test_recorded_without_the_holder_and_replayed(self):
        path, recorded = self.record()
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        with open(path, "rb") as f:
            data = f.read()
        secrets = [s.encode() for s in HOLDER] + [s.encode("utf-16-le") for s in HOLDER]
        secrets += [s.encode("utf-16-le").hex(" ").upper().encode() for s in HOLDER[:2]]
        secrets.append(recorded[1]["photoBase64"][:40].encode())
        self.assertEqual([s for s in secrets if s in data], [])

        with Service(binaries().dorvent_emu, args=["--replay", path]) as service:
            replies = [json.loads(text) for text in requests(*SESSION)]
        self.assertNotIn("replay: mismatch", service.stderr())
        self.assertEqual(replies[2], recorded[2])  # readIDCardUID, byte for byte
        # readIDCard: every report matched; its reply differs where the trace
        # holds no holder data, and only there.
        entries = replay.read_trace(path)
        self.assertEqual(entries[1][1], "readIDCard")
        recorded_text = entries[1][3]
        self.assertIn("*", recorded_text)
        self.assertEqual(replies[1]["success"], 0)
        masked = {k for k, v in json.loads(recorded_text).items() if "*" in str(v)}
        self.assertIn("name", masked)
        self.assertEqual({k: v for k, v in replies[1].items() if k not in masked},
                         {k: v for k, v in recorded[1].items() if k not in masked})


if __name__ == "__main__":
    main()
