// Reader control: open and close the reader for every client, its beep and
// its firmware version.

#include "textmessageprocessor.h"

#include <QByteArray>
#include <QString>

#include <cstring>

namespace {

const QString kOpened = QStringLiteral("打开端口成功");
const QString kOpenFailed = QStringLiteral("打开端口失败");
const QString kNotClosed = QStringLiteral("端口未关闭");
const QString kBeeped = QStringLiteral("蜂鸣器调用成功");
const QString kBeepFailed = QStringLiteral("蜂鸣器调用失败");
const QString kClosed = QStringLiteral("端口关闭成功");
const QString kCloseFailed = QStringLiteral("端口关闭失败");
const QString kVersionRead = QStringLiteral("获取版本信息成功");
const QString kVersionFailed = QStringLiteral("获取版本信息失败");

} // namespace

void CTextMessageProcessor::openReader(const Request &request)
{
    // One client's reader is every client's: a second open must wait for a close.
    if (m_readerOpen) {
        reply(request, -1, kNotClosed);
        return;
    }
    char port[] = "USB";
    const int result = m_card.luvaro_USB_Open(port);
    m_readerOpen = result == 0;
    reply(request, result, m_readerOpen ? kOpened : kOpenFailed);
}

void CTextMessageProcessor::beepReader(const Request &request)
{
    if (!requireOpen(request))
        return;
    const int result = m_card.luvaro_USB_Beep();
    reply(request, result, result == 0 ? kBeeped : kBeepFailed);
}

void CTextMessageProcessor::closeReader(const Request &request)
{
    if (!requireOpen(request))
        return;
    const int result = m_card.luvaro_USB_Close();
    if (result == 0)
        m_readerOpen = false;
    reply(request, result, result == 0 ? kClosed : kCloseFailed);
}

void CTextMessageProcessor::readerVersion(const Request &request)
{
    if (!requireOpen(request))
        return;
    unsigned char buffer[luvaroCard::kVersionBufferSize] = {};
    const int result = m_card.luvaro_USB_Version(buffer, sizeof buffer);
    if (result != 0) {
        reply(request, result, kVersionFailed);
        return;
    }
    const char *text = reinterpret_cast<const char *>(buffer);
    reply(request, result, kVersionRead,
          QString::fromUtf8(text, static_cast<int>(strnlen(text, sizeof buffer))));
}
