"""The identity card over a real WebSocket against dorvent-emu's demo card:
the record, the photo, the fingerprint, the UID, the /tmp files, and files
planted at those fixed paths."""
import base64
import json
import os
import stat
import tempfile
import unittest

from harness import Service, binaries, main, requests

BMP = "/tmp/idCard.bmp"
JPG = "/tmp/idCard.jpg"

# The demo deck's card (a fictional holder).
DEMO = {
    "name": "林晓雯", "ENfullname": "", "sex": "女", "people": "汉", "birthday": "19920314",
    "signdate": "20210605", "validterm": "20410605", "number": "330106199203140023",
    "organs": "杭州市公安局西湖分局", "certType": " ", "certVersion": "", "passNu": "", "signCount": "",
}


def jpeg_size(data):
    """(width, height) from a JPEG's frame header."""
    assert data[:2] == b"\xff\xd8", "not a JPEG"
    i = 2
    while i + 9 < len(data):
        assert data[i] == 0xFF
        marker, length = data[i + 1], int.from_bytes(data[i + 2:i + 4], "big")
        if marker in (0xC0, 0xC1, 0xC2):
            return int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big")
        i += 2 + length
    raise AssertionError("no frame header")


def remove(path):
    try:
        os.unlink(path)
    except IsADirectoryError:
        os.rmdir(path)
    except FileNotFoundError:
        pass


class IdentityCard(unittest.TestCase):
    def setUp(self):
        remove(BMP)
        remove(JPG)

    tearDown = setUp

    def test_read_record_photo_and_files(self):
        with Service(binaries().dorvent_emu) as service:
            _, basic, extended, uid = requests(
                "{'_act':'open'}", "{'_act':'readIDCard','_tflag':'42'}",
                "{'_act':'readIDCardEX'}", "{'_act':'readIDCardUID'}")
            trace = service.stdout()

        basic = json.loads(basic)
        self.assertEqual(basic["success"], 0)
        self.assertEqual(basic["msg"], "获取身份证信息成功")
        self.assertEqual(basic["functionName"], "readIDCard")
        self.assertEqual(basic["_tflag"], "42")
        for key, value in DEMO.items():
            self.assertEqual(basic[key], value, key)
        for absent in ("figData", "data", "Base64"):
            self.assertNotIn(absent, basic)
        self.assertEqual(jpeg_size(base64.b64decode(basic["photoBase64"], validate=True)), (102, 126))
        self.assertIn("开始解析身份证数据\n普通二代证\n姓名:\t\t\t林晓雯\n", trace)

        extended = json.loads(extended)
        self.assertEqual(extended["success"], 0)
        fingerprint = extended["figData"]
        self.assertEqual(len(fingerprint), 2048)
        self.assertTrue(fingerprint.startswith("43"))
        self.assertEqual(fingerprint, fingerprint.upper())
        bytes.fromhex(fingerprint)
        self.assertEqual(extended["photoBase64"], basic["photoBase64"])

        # "readIDCard" removed its files; "readIDCardEX" left them.
        self.assertTrue(os.path.isfile(BMP) and os.path.isfile(JPG))
        with open(JPG, "rb") as f:
            self.assertEqual(jpeg_size(f.read()), (102, 126))

        uid = json.loads(uid)
        self.assertEqual(uid, {"_tflag": "", "data": "5A3C012297401108", "functionName": "readIDCardUID",
                               "msg": "获取身份证UID信息成功", "success": 0})

    def test_basic_read_leaves_no_files(self):
        with Service(binaries().dorvent_emu):
            _, reply = requests("{'_act':'open'}", "{'_act':'readIDCard'}")
        self.assertEqual(json.loads(reply)["success"], 0)
        self.assertFalse(os.path.lexists(BMP))
        self.assertFalse(os.path.lexists(JPG))

    def test_planted_files_are_never_written_through(self):
        cases = []
        for path in (BMP, JPG):
            cases += [(path, "symbolic link"), (path, "another user's file"), (path, "FIFO")]
        for path, kind in cases:
            with self.subTest(path=path, kind=kind), tempfile.TemporaryDirectory() as tmp:
                remove(BMP)
                remove(JPG)
                victim = os.path.join(tmp, "victim")
                with open(victim, "wb") as f:
                    f.write(b"precious")
                if kind == "symbolic link":
                    os.symlink(victim, path)
                elif kind == "FIFO":
                    os.mkfifo(path, 0o666)
                else:
                    if os.geteuid() != 0:
                        self.skipTest("needs root to plant another user's file")
                    with open(path, "wb") as f:
                        f.write(b"precious")
                    os.chown(path, 65534, 65534)
                try:
                    with Service(binaries().dorvent_emu) as service:
                        replies = requests("{'_act':'open'}", "{'_act':'readIDCard'}",
                                           "{'_act':'readIDCardEX'}", "{'_act':'readIDCardUID'}", timeout=20)
                        self.assertTrue(service.alive())
                    for reply in replies[1:3]:
                        reply = json.loads(reply)
                        self.assertEqual(reply["success"], 0)
                        self.assertEqual(reply["name"], DEMO["name"])
                        self.assertEqual(reply["photoBase64"], "")
                    self.assertEqual(json.loads(replies[3])["success"], 0)
                    with open(victim, "rb") as f:
                        self.assertEqual(f.read(), b"precious")
                    st = os.lstat(path)
                    if kind == "symbolic link":
                        self.assertTrue(stat.S_ISLNK(st.st_mode))
                    elif kind == "FIFO":
                        self.assertTrue(stat.S_ISFIFO(st.st_mode))
                    else:
                        self.assertEqual(st.st_uid, 65534)
                        with open(path, "rb") as f:
                            self.assertEqual(f.read(), b"precious")
                finally:
                    remove(path)


if __name__ == "__main__":
    main()
