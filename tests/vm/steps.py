"""One session over every card family of the demo deck.

The host runs it against dorvent-emu (the reference: the emulated reader
linked in), the guest against dorvent through the kernel and the virtual
reader; every reply must be the same text. A few values are also checked
outright, so that both sides cannot be wrong together.

Each step is (label, request) or (label, None, control command): control
commands go to the emulated reader, through dorvent-emu's control channel
or the virtual reader's control port.
"""

import json


def _hex(text, size):
    return text.encode().ljust(size, b"\0").hex().upper()


STEPS = [
    ("open", {"_act": "open"}),
    ("version", {"_act": "version"}),
    ("beep", {"_act": "beep"}),
    ("readIDCard", {"_act": "readIDCard"}),
    ("readIDCardEX", {"_act": "readIDCardEX"}),
    ("readBankNO", {"_act": "readBankNO"}),
    ("cardClodPowerOn", {"_act": "cardClodPowerOn", "slotNo": "1"}),
    ("cardRun select", {"_act": "cardRun", "slotNo": "1", "apdu": "00A4040006D15600000100"}),
    ("cardRun read", {"_act": "cardRun", "slotNo": "1", "apdu": "00B0820004"}),
    ("cardPowerOff", {"_act": "cardPowerOff", "slotNo": "1"}),
    ("readSci", {"_act": "readSci", "slotNo": "11"}),
    ("place m1", None, {"cmd": "place", "place": "field", "card": "m1"}),
    ("cardm1Find", {"_act": "cardm1Find"}),
    ("cardm1Auth", {"_act": "cardm1Auth", "addr": "1", "key": "FFFFFFFFFFFF", "keyType": "A"}),
    ("cardm1Read", {"_act": "cardm1Read", "addr": "1"}),
    ("card44PowerOn", {"_act": "card44PowerOn", "type": "4442"}),
    ("card44Read", {"_act": "card44Read", "type": "4442", "offset": "32", "size": "16"}),
    ("scardRead", {"_act": "scardRead", "outTime": "5", "mgNum": "2"}),
    ("close", {"_act": "close"}),
]

# Values the deck is known to give, whatever the reference says.
EXPECT = {
    "open": {"success": 0},
    "beep": {"success": 0},
    "readIDCard": {"success": 0, "name": "林晓雯"},
    "readIDCardEX": {"success": 0, "name": "林晓雯"},
    "readBankNO": {"success": 0, "data": "6299009988776655440"},
    "cardClodPowerOn": {"success": 0, "data": "3B680000444F5256454E5431"},
    "readSci": {"success": 0, "name": "欧阳明月"},
    "cardm1Find": {"success": 0, "data": "5A3C9E21"},
    "cardm1Read": {"success": 0, "data": _hex("DORVENT M1 DEMO", 16)},
    "card44PowerOn": {"success": 0, "data": "A2131091"},
    "card44Read": {"success": 0, "data": _hex("DORVENT LOYALTY1", 16)},
    "scardRead": {"success": 0},
    "close": {"success": 0},
}


def request_text(label, request):
    return json.dumps(dict(request, _tflag=label), ensure_ascii=False)


def check_expected(label, reply_text):
    """What in the reply differs from EXPECT (empty when nothing)."""
    reply = json.loads(reply_text)
    wrong = []
    for key, value in EXPECT.get(label, {}).items():
        if reply.get(key) != value:
            wrong.append("%s=%r (want %r)" % (key, reply.get(key), value))
    if label in ("readIDCard", "readIDCardEX") and not reply.get("photoBase64"):
        wrong.append("no photo")
    if label == "readIDCardEX" and not reply.get("figData"):
        wrong.append("no fingerprint block")
    if label == "version" and not reply.get("data"):
        wrong.append("no firmware text")
    return wrong


async def run_steps(ws, control, steps=STEPS, timeout=60):
    """Runs the steps on an open WebSocket; {label: reply text}. control is
    a coroutine function taking a command and giving the reply object."""
    import asyncio

    replies = {}
    for step in steps:
        label, request = step[0], step[1]
        if request is None:
            answer = await control(step[2])
            if not answer.get("ok"):
                raise RuntimeError("control %s: %s" % (label, answer))
            continue
        await ws.send(request_text(label, request))
        replies[label] = await asyncio.wait_for(ws.recv(), timeout)
    return replies
