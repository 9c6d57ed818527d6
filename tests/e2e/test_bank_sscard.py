"""The bank card and the social-security card through dorvent-emu's demo
deck: the bank card in the field, the third-generation card in slot 1 with
its SAM in slot 0x11; then a SAM whose key is one byte off, put in through
the emulator's control channel, and the card refuses it."""
import json
import unittest


from harness import Service, binaries, control, main, requests, run

SCI_CARD = {"name": "欧阳明月", "sex": "女", "nation": "汉", "birthday": "19880512",
            "signdate": "20210315", "validterm": "20310315", "cardnumber": "A33012345",
            "idnumber": "330106198805120024", "city": "330100", "cardveVrsion": "3.00"}


class BankAndSocialSecurityCards(unittest.TestCase):
    def test_demo_cards_read(self):
        with Service(binaries().dorvent_emu):
            bank, sci = [json.loads(r) for r in requests(
                "{'_act':'open'}", "{'_act':'readBankNO','_tflag':'b'}",
                "{'_act':'readSci','slotNo':'11','_tflag':'s'}")][1:]
        self.assertEqual(bank, {"_tflag": "b", "data": "6299009988776655440", "functionName": "readBankNO",
                                "msg": "获取银行卡号成功", "success": 0})
        self.assertEqual(sci, {"_tflag": "s", "functionName": "readSci", "msg": "获取社保卡信息成功",
                               "success": 0, **SCI_CARD})

    def test_sam_with_a_wrong_key_byte_is_refused(self):
        with Service(binaries().dorvent_emu):
            placed = run(control({"cmd": "place", "place": "slot11", "card": "ss-sam-corrupted"}))
            self.assertTrue(placed["ok"], placed)
            opened, refused = [json.loads(r) for r in requests("{'_act':'open'}", "{'_act':'readSci'}")]
            self.assertEqual(refused, {"_tflag": "", "functionName": "readSci",
                                       "msg": "社保卡校验失败，状态码:63C2", "success": -0x63C2})
            # The right SAM back in: the card reads again (one try was used up, not all).
            self.assertTrue(run(control({"cmd": "place", "place": "slot11", "card": "ss-sam"}))["ok"])
            self.assertEqual(json.loads(requests("{'_act':'readSci'}")[0])["success"], 0)


if __name__ == "__main__":
    main()
