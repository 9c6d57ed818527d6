// The emulated social-security card and SAM on their own: the card takes
// the SAM's cryptogram only for exactly the data it derives, so a SAM
// command wrong in any one of its 40 data bytes is refused; tries run out.

#include "sscard.h"

#include <QtTest>

using namespace dorvent::emulator;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes apdu(const char *hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    return Bytes(bytes.begin(), bytes.end());
}

QByteArray hexOf(const Bytes &bytes) { return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex().toUpper(); }

} // namespace

class tst_SsCardModel : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void everyDataByteCounts();
    void triesRunOut();

private:
    // A challenge from the card, the SAM's cryptogram for `data`, and the
    // card's answer to EXTERNAL AUTHENTICATE with it.
    Bytes challenge();
    Bytes authenticate(const Bytes &data);
    Bytes correctData(const Bytes &challenge) const;

    std::unique_ptr<ContactCpuCard> m_card;
    std::unique_ptr<ContactCpuCard> m_sam;
};

void tst_SsCardModel::init()
{
    m_card = socialSecurityCard(demoSocialSecurityData());
    m_sam = socialSecuritySam();
    QCOMPARE(hexOf(m_card->files.transmit(apdu("00A404000F7378312E73682EC9E7BBE1B1A3D5CF"))).right(4), QByteArray("9000"));
    QCOMPARE(hexOf(m_sam->files.transmit(apdu("00A4040006D15600000590"))).right(4), QByteArray("9000"));
}

Bytes tst_SsCardModel::challenge()
{
    const Bytes answer = m_card->files.transmit(apdu("0084000008"));
    return Bytes(answer.begin(), answer.begin() + 8);
}

Bytes tst_SsCardModel::correctData(const Bytes &challenge) const
{
    Bytes data(m_card->atr.end() - 8, m_card->atr.end());
    for (char c : QByteArray("330100sx330000sh"))
        data.push_back(std::uint8_t(c));
    data.insert(data.end(), challenge.begin(), challenge.end());
    data.resize(40, 0x00);
    return data;
}

Bytes tst_SsCardModel::authenticate(const Bytes &data)
{
    Bytes command = apdu("BFDE670A28");
    command.insert(command.end(), data.begin(), data.end());
    m_sam->files.transmit(command);
    m_sam->files.transmit(apdu("80FA00001001020304050607080000000000000000"));
    const Bytes r = m_sam->files.transmit(apdu("00C0000010"));
    Bytes external = apdu("0082000A10");
    for (int i = 0; i < 8; ++i)
        external.push_back(r[i] ^ r[i + 8]);
    const Bytes tail = apdu("0102030405060708");
    external.insert(external.end(), tail.begin(), tail.end());
    return m_card->files.transmit(external);
}

void tst_SsCardModel::everyDataByteCounts()
{
    for (int i = 0; i < 40; ++i) {
        Bytes data = correctData(challenge());
        data[i] ^= 0x01;
        QCOMPARE(hexOf(authenticate(data)), QByteArray("63C2"));
        // Right after it, the right data (with a fresh challenge) passes and resets the tries.
        QCOMPARE(hexOf(authenticate(correctData(challenge()))), QByteArray("9000"));
    }
    // Authenticated: the holder file opens.
    m_card->files.transmit(apdu("00A4020002EF06"));
    QCOMPARE(hexOf(m_card->files.transmit(apdu("00B20A0003"))), QByteArray("0A01329000"));
}

void tst_SsCardModel::triesRunOut()
{
    m_card->files.transmit(apdu("00A4020002EF06"));
    QCOMPARE(hexOf(m_card->files.transmit(apdu("00B20A0003"))), QByteArray("6982"));
    Bytes wrong = correctData(challenge());
    wrong[39] = 0xFF;
    QCOMPARE(hexOf(authenticate(wrong)), QByteArray("63C2"));
    // A challenge serves one attempt.
    QCOMPARE(hexOf(authenticate(correctData(m_card->files.lastChallenge()))), QByteArray("6984"));
    wrong = correctData(challenge());
    wrong[0] ^= 1;
    QCOMPARE(hexOf(authenticate(wrong)), QByteArray("63C1"));
    wrong = correctData(challenge());
    wrong[0] ^= 1;
    QCOMPARE(hexOf(authenticate(wrong)), QByteArray("63C0"));
    QCOMPARE(hexOf(authenticate(correctData(challenge()))), QByteArray("6983"));
}

QTEST_APPLESS_MAIN(tst_SsCardModel)
#include "tst_sscardmodel.moc"
