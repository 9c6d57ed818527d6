"""4442 memory card and magnetic stripe through dorvent-emu's demo deck, the
way a page drives them: verify, write, read back, protect, lock; set the
stripe format, swipe (the demo swipe, then one queued through the control
channel), read the tracks."""
import asyncio
import json
import unittest

import websockets

from harness import Service, binaries, control, main, run, URI

def ascii_hex(text):
    return text.encode("ascii").hex().upper()


async def session(steps):
    """Each step is a service request (a dict) or ("control", command); the replies in order."""
    replies = []
    async with websockets.connect(URI) as service:
        for step in steps:
            if isinstance(step, tuple):
                replies.append(await control(step[1]))
            else:
                await service.send(json.dumps(step))
                replies.append(json.loads(await asyncio.wait_for(service.recv(), 30)))
    return replies


def card(act, **fields):
    return dict({"_act": act, "type": "4442"}, **fields)


class MemoryCardAndStripe(unittest.TestCase):
    def test_4442_code_write_read_protect_lock(self):
        with Service(binaries().dorvent_emu):
            r = run(session([
                {"_act": "open"},
                card("card44PowerOn"),
                card("card44Write", offset="64", size="4", data="CAFEBABE"),  # not verified yet
                card("card44AuthPIN", key="FFFFFF"),
                card("card44Write", offset="64", size="4", data="CAFEBABE"),
                card("card44Read", offset="64", size="4"),
                card("card44Write", offset="8", size="2", data="1234"),
                card("card44WritePro", offset="8", size="2", data="1234"),
                card("card44ReadePro", offset="0", size="12"),
                card("card44Write", offset="9", size="1", data="00"),
                card("card44AuthPIN", key="000000"),
                card("card44AuthPIN", key="000000"),
                card("card44AuthPIN", key="000000"),
                card("card44AuthNum"),
                card("card44AuthPIN", key="FFFFFF"),
                {"_act": "card44Read", "type": "4442X", "offset": "0", "size": "4"},
            ]))
        self.assertEqual(r[1]["data"], "A2131091")
        self.assertEqual((r[2]["success"], r[2]["msg"]), (-20, "4442卡写卡失败"))
        self.assertEqual((r[3]["success"], r[3]["msg"]), (0, "4442卡认证PIN成功"))
        self.assertEqual(r[4]["success"], 0)
        self.assertEqual((r[5]["msg"], r[5]["data"]), ("4442卡读卡成功", "CAFEBABE"))
        self.assertEqual([r[6]["success"], r[7]["success"]], [0, 0])
        # Programmed bits read 0: the manufacturer's six bytes and the two just protected.
        self.assertEqual(r[8]["data"], "00" * 6 + "01" * 2 + "00" * 2 + "01" * 2)
        self.assertEqual((r[9]["success"], r[9]["msg"]), (-20, "4442卡写卡失败"))
        self.assertEqual([x["msg"] for x in r[10:13]], ["4442卡认证PIN卡失败"] * 3)
        self.assertEqual(r[13]["data"], "0")
        self.assertEqual((r[14]["success"], r[14]["msg"]), (-21, "4442卡认证PIN卡失败"))
        self.assertEqual(r[15], {"_tflag": "", "functionName": "card44Read", "msg": "4442 4428 卡类型入参错误",
                                 "success": -1})

    def test_stripe_format_and_swipes(self):
        own_track = "6222029988776655=2712"
        with Service(binaries().dorvent_emu):
            r = run(session([
                {"_act": "open"},
                {"_act": "scardSet", "outType": "0", "mgNum": "2", "outInfo": "0", "appendEnter": "0"},
                {"_act": "scardGet"},
                {"_act": "scardRead", "outTime": "5", "mgNum": "2"},  # the demo deck's swipe
                {"_act": "scardRead", "outTime": "0", "mgNum": "2"},  # nothing more on the head
                ("control", {"cmd": "swipe", "track2": own_track, "afterPolls": 2}),
                {"_act": "scardSet", "outType": "1", "mgNum": "2", "outInfo": "1", "appendEnter": "1"},
                {"_act": "scardRead", "outTime": "5", "mgNum": "2"},
                ("control", {"cmd": "swipe", "error": True, "afterPolls": 1}),
                {"_act": "scardRead", "outTime": "5", "mgNum": "2"},
            ]))
        self.assertEqual(r[1]["msg"], "设置磁条卡成功")
        self.assertEqual(r[2]["data"], "主动输出;磁道2;全部输出;不换行输出")
        self.assertEqual((r[3]["msg"], r[3]["data"]),
                         ("磁条卡刷卡成功", ascii_hex(";6222021234567890=25121010000012345?")))
        self.assertEqual((r[4]["success"], r[4]["msg"]), (-4, "磁条卡刷卡失败"))
        self.assertTrue(r[5]["ok"])
        self.assertEqual(r[7]["data"], ascii_hex(own_track + "\r\n"))
        self.assertEqual((r[9]["success"], r[9]["msg"]), (-1, "磁条卡刷卡失败"))


if __name__ == "__main__":
    main()
