"""M1 cards and ISO 15693 tags through dorvent-emu: each card is placed in the
radio field (instead of the demo deck's Type A CPU card) over the emulator's
control channel, then driven the way a page drives it."""
import asyncio
import json
import unittest

import websockets

from harness import URI, Service, binaries, control, main

async def session(card, messages):
    """Places the card, then sends each message on one connection; the replies."""
    await control({"cmd": "place", "place": "field", "card": card})
    replies = []
    async with websockets.connect(URI) as ws:
        for message in messages:
            await ws.send(json.dumps(message, ensure_ascii=False))
            replies.append(json.loads(await asyncio.wait_for(ws.recv(), 30)))
    return replies


def brief(reply):
    return (reply["success"], reply["msg"], reply.get("data"))


class M1AndIso15693(unittest.TestCase):
    def test_m1_card(self):
        with Service(binaries().dorvent_emu) as service:
            replies = asyncio.run(session("m1", [
                {"_act": "open"},
                {"_act": "cardm1Find"},
                {"_act": "cardm1Auth", "addr": "4", "key": "FFFFFFFFFFFF", "keyType": "A"},
                {"_act": "cardm1Write", "addr": "5", "data": "00112233445566778899AABBCCDDEEFF"},
                {"_act": "cardm1Read", "addr": "5"},
                {"_act": "cardm1NumInit", "addr": "6", "numInit": "100"},
                {"_act": "cardm1NumAdd", "addr": "6", "numValue": "50"},
                {"_act": "cardm1NumDe", "addr": "6", "numValue": 30},
                {"_act": "cardm1NumRead", "addr": "6"},
                {"_act": "cardm1Auth", "addr": "4", "key": "A0A1A2A3A4A5", "keyType": "B"},
                {"_act": "cardm1Read", "addr": "5"},
            ]))
            # Written as it happens, though standard output is a file.
            console = service.stdout()
        self.assertEqual(replies[0]["success"], 0)
        self.assertEqual(replies[1], {"_tflag": "", "data": "5A3C9E21", "functionName": "cardm1Find",
                                      "msg": "M1卡寻卡成功", "success": 0})
        self.assertIn("M1 寻卡成功\nM1 卡 获取UID成功,UID:5A3C9E21\n", console)
        self.assertEqual([brief(r) for r in replies[2:]], [
            (0, "M1卡PIN认证成功", None),
            (0, "M1卡写卡成功", None),
            (0, "M1卡读卡成功", "00112233445566778899AABBCCDDEEFF"),
            (0, "M1卡初始化值成功", None),
            (0, "M1卡增值成功", None),
            (0, "M1卡减值成功", None),
            (0, "M1卡读值成功", "120"),
            (-21, "M1卡PIN认证失败", None),
            (-21, "M1卡读卡失败", None),
        ])

    def test_iso15693_tag(self):
        with Service(binaries().dorvent_emu):
            replies = asyncio.run(session("iso15693", [
                {"_act": "open"},
                {"_act": "card15693Find"},
                {"_act": "card15693Write", "addr": "3", "data": "CAFE"},
                {"_act": "card15693Lock", "addr": "3"},
                {"_act": "card15693Write", "addr": "3", "data": "12345678"},
                {"_act": "card15693Read", "addr": "3"},
                {"_act": "card15693WriteAFI", "afidsiddata": "7"},
                {"_act": "card15693LockAFI"},
                {"_act": "card15693WriteAFI", "afidsiddata": "8"},
                {"_act": "card15693Info"},
            ]))
        self.assertEqual(replies[0]["success"], 0)
        self.assertEqual([brief(r) for r in replies[1:]], [
            (0, "15693卡寻卡成功", "000078563412500104E0"),
            (0, "1593写卡成功", None),
            (0, "15693锁定块成功", None),
            (-21, "1593写卡失败", None),
            (0, "1593读卡成功", "CAFE0000"),
            (0, "1593写AFI成功", None),
            (0, "15693锁AFI成功", None),
            (-21, "1593写AFI失败", None),
            (0, "获取15693卡信息成功", "0F78563412500104E00007" "1B0301"),
        ])


if __name__ == "__main__":
    main()
