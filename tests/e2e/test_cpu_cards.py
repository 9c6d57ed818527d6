"""CPU cards through dorvent-emu's demo deck: a contact card in slot 1 and a
Type A card in the field, driven the way a page drives them."""
import json
import unittest

from harness import Service, binaries, main, requests


class CpuCards(unittest.TestCase):
    def test_contact_and_contactless_round_trips(self):
        with Service(binaries().dorvent_emu):
            replies = [json.loads(r) for r in requests(
                "{'_act':'cardRun','slotNo':'1','apdu':'0084000004'}",
                "{'_act':'open'}",
                "{'_act':'cardClodPowerOn','slotNo':'1','_tflag':'c1'}",
                "{'_act':'cardRun','slotNo':'1','apdu':'00A4040006D15600000100'}",
                "{'_act':'cardRun','slotNo':'1','apdu':'00B0820004'}",
                "{'_act':'cardPowerOff','slotNo':'1'}",
                "{'_act':'mcardPowerOn'}",
                "{'_act':'mcardRun','apdu':'00A4040006D15600000100'}",
                "{'_act':'mcardRun','apdu':'00CA000000'}",
                "{'_act':'mcardPowerOff'}",
            )]
        self.assertEqual(replies[0]["msg"], "端口未打开")
        self.assertEqual(replies[2], {"_tflag": "c1", "data": "3B680000444F5256454E5431",
                                      "functionName": "cardClodPowerOn", "msg": "CPU卡冷复位成功", "success": 0})
        self.assertEqual(replies[3]["data"], "6F088406D156000001009000")
        self.assertEqual(replies[4]["data"], "000003E89000")
        self.assertEqual(replies[5], {"_tflag": "", "functionName": "cardPowerOff", "msg": "CPU卡下电成功", "success": 0})
        self.assertEqual(replies[6]["data"], "07788070024456")
        self.assertEqual(replies[7]["data"], "6F088406D156000001009000")
        self.assertEqual(replies[8]["data"], "6D00")
        self.assertEqual(replies[9]["success"], 0)


if __name__ == "__main__":
    main()
