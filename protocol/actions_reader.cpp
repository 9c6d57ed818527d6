// Reader control: open and close the reader for every client, its beep and
// its firmware version, and the two fingerprint names that are accepted and
// answered with nothing; the service's own status action.

#include "action.h"
#include "luvarocard.h"
#include "textmessageprocessor.h"

#include <cstring>
#include <iterator>

namespace dorvent::protocol {
namespace {

constexpr char kNotClosed[] = "端口未关闭";

void openReader(ActionCall &call)
{
    // One client's reader is every client's: a second open must wait for a close.
    if (call.readerOpen())
        return call.reply(-1, QString::fromUtf8(kNotClosed));
    char port[] = "USB";
    const int result = call.card().luvaro_USB_Open(port);
    call.answer(result);
    call.setReaderOpen(result == 0);
}

void closeReader(ActionCall &call)
{
    const int result = call.card().luvaro_USB_Close();
    call.answer(result);
    if (result == 0)
        call.setReaderOpen(false);
}

void beep(ActionCall &call) { call.answer(call.card().luvaro_USB_Beep()); }

void readVersion(ActionCall &call)
{
    unsigned char buffer[luvaroCard::kVersionBufferSize] = {};
    const int result = call.card().luvaro_USB_Version(buffer, sizeof buffer);
    const char *text = reinterpret_cast<const char *>(buffer);
    const QString version = QString::fromUtf8(text, static_cast<int>(strnlen(text, sizeof buffer)));
    if (result == 0)
        call.processor().readerKeeper().setFirmware(version);
    call.answer(result, version);
}

void ignore(ActionCall &) {}

// Served even while a swipe wait holds the reader, which it then leaves alone.
void status(ActionCall &call)
{
    call.reply(0, call.successText(), call.processor().statusFields());
}

constexpr Action kActions[] = {
    {"open", Gate::None, openReader, "打开端口成功", "打开端口失败"},
    {"close", Gate::ReaderOpen, closeReader, "端口关闭成功", "端口关闭失败"},
    {"beep", Gate::ReaderOpen, beep, "蜂鸣器调用成功", "蜂鸣器调用失败"},
    {"version", Gate::ReaderOpen, readVersion, "获取版本信息成功", "获取版本信息失败"},
    {"collectFingerPrint", Gate::NoReader, ignore, nullptr, nullptr},
    {"ctnFingerPrint", Gate::NoReader, ignore, nullptr, nullptr},
    {"serviceStatus", Gate::NoReader, status, "获取服务状态成功", "获取服务状态失败"},
};

} // namespace

ActionTable readerControlActions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
