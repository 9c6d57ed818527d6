#pragma once

#include <QObject>

#include <usbredirparser.h>

#include <cstdint>

class QIODevice;

namespace dorvent::vusb {

class ReaderDevice;

// One usb-redir connection (QEMU's usb-redir device, or anything else that
// speaks the protocol's guest side): this end is the USB host side, which
// owns the device. It announces the reader once the peer's hello is in and
// whenever it is plugged, withdraws it on unplug, and answers every transfer
// at once through the ReaderDevice.
//
// QEMU takes a device on an xHCI controller only from a host side that
// advertises 64-bit ids, 32-bit bulk lengths and endpoint packet sizes.
class RedirPeer : public QObject
{
    Q_OBJECT
public:
    // The socket stays the caller's; it must outlive this object.
    RedirPeer(QIODevice *socket, ReaderDevice &device, QObject *parent = nullptr);
    ~RedirPeer() override;

    // The reader arrives on / leaves the peer's bus (no effect when it is
    // already there / gone, or before the peer's hello).
    void plug();
    void unplug();
    bool deviceAnnounced() const { return m_announced; }

signals:
    // The peer hung up or spoke nonsense; the socket should be closed.
    void failed();

private:
    void readAvailable();
    void flush();
    void announce();

    // The parser's callbacks (priv is this).
    static int readCallback(void *priv, std::uint8_t *data, int count);
    static int writeCallback(void *priv, std::uint8_t *data, int count);
    static void logCallback(void *priv, int level, const char *message);
    static void helloCallback(void *priv, usb_redir_hello_header *hello);
    static void resetCallback(void *priv);
    static void setConfigurationCallback(void *priv, std::uint64_t id,
                                         usb_redir_set_configuration_header *header);
    static void getConfigurationCallback(void *priv, std::uint64_t id);
    static void setAltSettingCallback(void *priv, std::uint64_t id,
                                      usb_redir_set_alt_setting_header *header);
    static void getAltSettingCallback(void *priv, std::uint64_t id,
                                      usb_redir_get_alt_setting_header *header);
    static void startIsoCallback(void *priv, std::uint64_t id,
                                 usb_redir_start_iso_stream_header *header);
    static void stopIsoCallback(void *priv, std::uint64_t id,
                                usb_redir_stop_iso_stream_header *header);
    static void startInterruptCallback(void *priv, std::uint64_t id,
                                       usb_redir_start_interrupt_receiving_header *header);
    static void stopInterruptCallback(void *priv, std::uint64_t id,
                                      usb_redir_stop_interrupt_receiving_header *header);
    static void allocStreamsCallback(void *priv, std::uint64_t id,
                                     usb_redir_alloc_bulk_streams_header *header);
    static void freeStreamsCallback(void *priv, std::uint64_t id,
                                    usb_redir_free_bulk_streams_header *header);
    static void startBulkReceivingCallback(void *priv, std::uint64_t id,
                                           usb_redir_start_bulk_receiving_header *header);
    static void stopBulkReceivingCallback(void *priv, std::uint64_t id,
                                          usb_redir_stop_bulk_receiving_header *header);
    static void cancelCallback(void *priv, std::uint64_t id);
    static void filterRejectCallback(void *priv);
    static void filterFilterCallback(void *priv, usbredirfilter_rule *rules, int count);
    static void disconnectAckCallback(void *priv);
    static void controlCallback(void *priv, std::uint64_t id,
                                usb_redir_control_packet_header *header, std::uint8_t *data,
                                int length);
    static void bulkCallback(void *priv, std::uint64_t id, usb_redir_bulk_packet_header *header,
                             std::uint8_t *data, int length);
    static void isoCallback(void *priv, std::uint64_t id, usb_redir_iso_packet_header *header,
                            std::uint8_t *data, int length);
    static void interruptCallback(void *priv, std::uint64_t id,
                                  usb_redir_interrupt_packet_header *header, std::uint8_t *data,
                                  int length);

    QIODevice *m_socket;
    ReaderDevice &m_device;
    usbredirparser *m_parser; // owned
    bool m_helloSeen = false;
    bool m_plugged = false;   // the reader is on this peer's bus, or will be after the hello
    bool m_announced = false; // device_connect sent and not withdrawn
};

} // namespace dorvent::vusb
