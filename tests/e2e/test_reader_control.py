"""Reader control over a real WebSocket: dorvent-emu with its emulated reader,
and dorvent on a machine without the reader."""
import json
import unittest

from harness import Service, binaries, main, requests

NOT_OPEN = '{"_tflag":"","functionName":"%s","msg":"端口未打开","success":-1}'
FIRMWARE = "LV-EMU 1.0 Dorvent emulated reader"


class EmulatedReader(unittest.TestCase):
    def test_open_beep_version_close(self):
        with Service(binaries().dorvent_emu):
            replies = requests(
                "{'_act':'beep'}",
                "{'_act':'open'}",
                "{'_act':'open'}",
                "{'_act':'beep','_tflag':'7'}",
                "{'_act':'version'}",
                "{'_act':'close'}",
                "{'_act':'close'}",
                "{'_act':'version'}",
            )
        self.assertEqual(replies[0], NOT_OPEN % "beep")
        self.assertEqual(replies[1], '{"_tflag":"","functionName":"open","msg":"打开端口成功","success":0}')
        self.assertEqual(replies[2], '{"_tflag":"","functionName":"open","msg":"端口未关闭","success":-1}')
        self.assertEqual(replies[3], '{"_tflag":"7","functionName":"beep","msg":"蜂鸣器调用成功","success":0}')
        self.assertEqual(json.loads(replies[4]),
                         {"_tflag": "", "data": FIRMWARE, "functionName": "version",
                          "msg": "获取版本信息成功", "success": 0})
        self.assertEqual(replies[5], '{"_tflag":"","functionName":"close","msg":"端口关闭成功","success":0}')
        self.assertEqual(replies[6], NOT_OPEN % "close")
        self.assertEqual(replies[7], NOT_OPEN % "version")

    def test_one_clients_open_is_every_clients(self):
        with Service(binaries().dorvent_emu):
            self.assertEqual(json.loads(requests("{'_act':'open'}")[0])["success"], 0)
            # A second connection finds the reader open, and its close closes it for all.
            self.assertEqual(json.loads(requests("{'_act':'beep'}")[0])["success"], 0)
            self.assertEqual(json.loads(requests("{'_act':'close'}")[0])["success"], 0)
            self.assertEqual(requests("{'_act':'beep'}")[0], NOT_OPEN % "beep")


class NoReader(unittest.TestCase):
    def test_open_fails_and_the_flag_stays_clear(self):
        with Service(binaries().dorvent):
            opened, beeped = requests("{'_act':'open'}", "{'_act':'beep'}")
        opened = json.loads(opened)
        self.assertNotEqual(opened["success"], 0)
        self.assertEqual(opened["msg"], "打开端口失败")
        self.assertEqual(opened["functionName"], "open")
        self.assertEqual(beeped, NOT_OPEN % "beep")


if __name__ == "__main__":
    main()
