#include "redirpeer.h"

#include "readerdevice.h"

#include <QDebug>
#include <QIODevice>

#include <usbredirfilter.h>
#include <usbredirparser.h>

namespace dorvent::vusb {
namespace {

constexpr char kVersion[] = "dorvent-vreader 1";

// Endpoint address -> the index usb-redir's per-endpoint tables use.
constexpr int endpointIndex(std::uint8_t address)
{
    return ((address & 0x80) >> 3) | (address & 0x0F);
}

RedirPeer *self(void *priv)
{
    return static_cast<RedirPeer *>(priv);
}

} // namespace

RedirPeer::RedirPeer(QIODevice *socket, ReaderDevice &device, QObject *parent)
    : QObject(parent), m_socket(socket), m_device(device), m_parser(usbredirparser_create())
{
    usbredirparser *p = m_parser;
    p->priv = this;
    p->log_func = logCallback;
    p->read_func = readCallback;
    p->write_func = writeCallback;
    p->hello_func = helloCallback;
    p->reset_func = resetCallback;
    p->set_configuration_func = setConfigurationCallback;
    p->get_configuration_func = getConfigurationCallback;
    p->set_alt_setting_func = setAltSettingCallback;
    p->get_alt_setting_func = getAltSettingCallback;
    p->start_iso_stream_func = startIsoCallback;
    p->stop_iso_stream_func = stopIsoCallback;
    p->start_interrupt_receiving_func = startInterruptCallback;
    p->stop_interrupt_receiving_func = stopInterruptCallback;
    p->alloc_bulk_streams_func = allocStreamsCallback;
    p->free_bulk_streams_func = freeStreamsCallback;
    p->start_bulk_receiving_func = startBulkReceivingCallback;
    p->stop_bulk_receiving_func = stopBulkReceivingCallback;
    p->cancel_data_packet_func = cancelCallback;
    p->filter_reject_func = filterRejectCallback;
    p->filter_filter_func = filterFilterCallback;
    p->device_disconnect_ack_func = disconnectAckCallback;
    p->control_packet_func = controlCallback;
    p->bulk_packet_func = bulkCallback;
    p->iso_packet_func = isoCallback;
    p->interrupt_packet_func = interruptCallback;

    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                    usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                    usb_redir_cap_32bits_bulk_length})
        usbredirparser_caps_set_cap(caps, cap);
    usbredirparser_init(m_parser, kVersion, caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);

    connect(m_socket, &QIODevice::readyRead, this, &RedirPeer::readAvailable);
    flush(); // our hello
    readAvailable();
}

RedirPeer::~RedirPeer()
{
    usbredirparser_destroy(m_parser);
}

void RedirPeer::plug()
{
    m_plugged = true;
    if (m_helloSeen && !m_announced)
        announce();
}

void RedirPeer::unplug()
{
    m_plugged = false;
    if (!m_announced)
        return;
    m_announced = false;
    usbredirparser_send_device_disconnect(m_parser);
    flush();
}

void RedirPeer::announce()
{
    // The interfaces and endpoints first: the peer checks a device against
    // them when it connects.
    usb_redir_interface_info_header interfaces{};
    interfaces.interface_count = 1;
    interfaces.interface[0] = descriptors::kInterfaceNumber;
    interfaces.interface_class[0] = descriptors::kHidClass;
    usbredirparser_send_interface_info(m_parser, &interfaces);

    usb_redir_ep_info_header endpoints{};
    for (std::uint8_t &type : endpoints.type)
        type = usb_redir_type_invalid;
    for (std::uint8_t address : {0x00, 0x80}) {
        const int i = endpointIndex(address);
        endpoints.type[i] = usb_redir_type_control;
        endpoints.max_packet_size[i] = descriptors::kMaxPacketSize0;
    }
    const int in = endpointIndex(descriptors::kInterruptEndpoint);
    endpoints.type[in] = usb_redir_type_interrupt;
    endpoints.interval[in] = descriptors::kInterruptInterval;
    endpoints.interface[in] = descriptors::kInterfaceNumber;
    endpoints.max_packet_size[in] = descriptors::kInterruptMaxPacket;
    usbredirparser_send_ep_info(m_parser, &endpoints);

    usb_redir_device_connect_header device{};
    device.speed = usb_redir_speed_full;
    device.device_class = 0; // per interface
    device.vendor_id = descriptors::kVendorId;
    device.product_id = descriptors::kProductId;
    device.device_version_bcd = descriptors::kDeviceRelease;
    usbredirparser_send_device_connect(m_parser, &device);
    m_announced = true;
    flush();
}

void RedirPeer::readAvailable()
{
    if (usbredirparser_do_read(m_parser) < 0) {
        emit failed();
        return;
    }
    flush();
}

void RedirPeer::flush()
{
    while (usbredirparser_has_data_to_write(m_parser)) {
        if (usbredirparser_do_write(m_parser) < 0) {
            emit failed();
            return;
        }
    }
}

int RedirPeer::readCallback(void *priv, std::uint8_t *data, int count)
{
    const qint64 n = self(priv)->m_socket->read(reinterpret_cast<char *>(data), count);
    return n < 0 ? -1 : int(n); // 0: nothing more for now
}

int RedirPeer::writeCallback(void *priv, std::uint8_t *data, int count)
{
    const qint64 n = self(priv)->m_socket->write(reinterpret_cast<const char *>(data), count);
    return n < 0 ? -1 : int(n);
}

void RedirPeer::logCallback(void *, int level, const char *message)
{
    if (level <= usbredirparser_warning)
        qWarning("usbredir: %s", message);
}

void RedirPeer::helloCallback(void *priv, usb_redir_hello_header *hello)
{
    RedirPeer *peer = self(priv);
    qInfo("usbredir: peer \"%.64s\"", hello->version);
    peer->m_helloSeen = true;
    if (peer->m_plugged)
        peer->announce();
}

void RedirPeer::resetCallback(void *priv)
{
    self(priv)->m_device.busReset();
}

void RedirPeer::setConfigurationCallback(void *priv, std::uint64_t id, usb_redir_set_configuration_header *header)
{
    RedirPeer *peer = self(priv);
    const bool ok = peer->m_device.setConfiguration(header->configuration);
    usb_redir_configuration_status_header status{};
    status.status = ok ? usb_redir_success : usb_redir_stall;
    status.configuration = peer->m_device.configuration();
    usbredirparser_send_configuration_status(peer->m_parser, id, &status);
}

void RedirPeer::getConfigurationCallback(void *priv, std::uint64_t id)
{
    RedirPeer *peer = self(priv);
    usb_redir_configuration_status_header status{};
    status.status = usb_redir_success;
    status.configuration = peer->m_device.configuration();
    usbredirparser_send_configuration_status(peer->m_parser, id, &status);
}

void RedirPeer::setAltSettingCallback(void *priv, std::uint64_t id, usb_redir_set_alt_setting_header *header)
{
    RedirPeer *peer = self(priv);
    const bool ok = peer->m_device.setAltSetting(header->interface, header->alt);
    usb_redir_alt_setting_status_header status{};
    status.status = ok ? usb_redir_success : usb_redir_stall;
    status.interface = header->interface;
    status.alt = std::uint8_t(ok ? header->alt : 0xFF);
    usbredirparser_send_alt_setting_status(peer->m_parser, id, &status);
}

void RedirPeer::getAltSettingCallback(void *priv, std::uint64_t id, usb_redir_get_alt_setting_header *header)
{
    RedirPeer *peer = self(priv);
    const int alt = peer->m_device.altSetting(header->interface);
    usb_redir_alt_setting_status_header status{};
    status.status = alt >= 0 ? usb_redir_success : usb_redir_inval;
    status.interface = header->interface;
    status.alt = std::uint8_t(alt >= 0 ? alt : 0xFF);
    usbredirparser_send_alt_setting_status(peer->m_parser, id, &status);
}

// The reader has no isochronous or bulk endpoints: every such request stalls.
void RedirPeer::startIsoCallback(void *priv, std::uint64_t id, usb_redir_start_iso_stream_header *header)
{
    usb_redir_iso_stream_status_header status{usb_redir_stall, header->endpoint};
    usbredirparser_send_iso_stream_status(self(priv)->m_parser, id, &status);
}

void RedirPeer::stopIsoCallback(void *priv, std::uint64_t id, usb_redir_stop_iso_stream_header *header)
{
    usb_redir_iso_stream_status_header status{usb_redir_stall, header->endpoint};
    usbredirparser_send_iso_stream_status(self(priv)->m_parser, id, &status);
}

void RedirPeer::allocStreamsCallback(void *priv, std::uint64_t id, usb_redir_alloc_bulk_streams_header *header)
{
    usb_redir_bulk_streams_status_header status{header->endpoints, 0, usb_redir_stall};
    usbredirparser_send_bulk_streams_status(self(priv)->m_parser, id, &status);
}

void RedirPeer::freeStreamsCallback(void *priv, std::uint64_t id, usb_redir_free_bulk_streams_header *header)
{
    usb_redir_bulk_streams_status_header status{header->endpoints, 0, usb_redir_stall};
    usbredirparser_send_bulk_streams_status(self(priv)->m_parser, id, &status);
}

void RedirPeer::startBulkReceivingCallback(void *priv, std::uint64_t id,
                                           usb_redir_start_bulk_receiving_header *header)
{
    usb_redir_bulk_receiving_status_header status{header->stream_id, header->endpoint, usb_redir_stall};
    usbredirparser_send_bulk_receiving_status(self(priv)->m_parser, id, &status);
}

void RedirPeer::stopBulkReceivingCallback(void *priv, std::uint64_t id,
                                          usb_redir_stop_bulk_receiving_header *header)
{
    usb_redir_bulk_receiving_status_header status{header->stream_id, header->endpoint, usb_redir_stall};
    usbredirparser_send_bulk_receiving_status(self(priv)->m_parser, id, &status);
}

// The interrupt IN endpoint is polled and never answers: the reader has no
// input reports.
void RedirPeer::startInterruptCallback(void *priv, std::uint64_t id,
                                       usb_redir_start_interrupt_receiving_header *header)
{
    const bool ours = header->endpoint == descriptors::kInterruptEndpoint;
    usb_redir_interrupt_receiving_status_header status{std::uint8_t(ours ? usb_redir_success : usb_redir_stall),
                                                       header->endpoint};
    usbredirparser_send_interrupt_receiving_status(self(priv)->m_parser, id, &status);
}

void RedirPeer::stopInterruptCallback(void *priv, std::uint64_t id,
                                      usb_redir_stop_interrupt_receiving_header *header)
{
    usb_redir_interrupt_receiving_status_header status{usb_redir_success, header->endpoint};
    usbredirparser_send_interrupt_receiving_status(self(priv)->m_parser, id, &status);
}

void RedirPeer::cancelCallback(void *, std::uint64_t)
{
    // Every transfer is answered as it arrives: nothing is left to cancel.
}

void RedirPeer::filterRejectCallback(void *)
{
    qWarning("usbredir: the peer's filter rejects the reader");
}

void RedirPeer::filterFilterCallback(void *, usbredirfilter_rule *rules, int)
{
    usbredirfilter_free(rules); // ours; the reader is offered whatever the filter says
}

void RedirPeer::disconnectAckCallback(void *) {}

void RedirPeer::controlCallback(void *priv, std::uint64_t id, usb_redir_control_packet_header *header,
                                std::uint8_t *data, int length)
{
    RedirPeer *peer = self(priv);
    const Setup setup{header->requesttype, header->request, header->value, header->index, header->length};
    const Bytes out = setup.in() || !data ? Bytes() : Bytes(data, data + length);
    if (data)
        usbredirparser_free_packet_data(peer->m_parser, data);

    const ControlResult result = peer->m_device.control(setup, out);
    usb_redir_control_packet_header reply = *header;
    reply.status = result.stalled ? usb_redir_stall : usb_redir_success;
    if (setup.in()) {
        reply.length = std::uint16_t(result.data.size());
        usbredirparser_send_control_packet(peer->m_parser, id, &reply,
                                           const_cast<std::uint8_t *>(result.data.data()),
                                           int(result.data.size()));
    } else {
        reply.length = result.stalled ? 0 : std::uint16_t(out.size());
        usbredirparser_send_control_packet(peer->m_parser, id, &reply, nullptr, 0);
    }
}

void RedirPeer::bulkCallback(void *priv, std::uint64_t id, usb_redir_bulk_packet_header *header,
                             std::uint8_t *data, int)
{
    RedirPeer *peer = self(priv);
    if (data)
        usbredirparser_free_packet_data(peer->m_parser, data);
    usb_redir_bulk_packet_header reply = *header;
    reply.status = usb_redir_stall;
    reply.length = 0;
    reply.length_high = 0;
    usbredirparser_send_bulk_packet(peer->m_parser, id, &reply, nullptr, 0);
}

void RedirPeer::isoCallback(void *priv, std::uint64_t, usb_redir_iso_packet_header *, std::uint8_t *data, int)
{
    if (data)
        usbredirparser_free_packet_data(self(priv)->m_parser, data);
}

void RedirPeer::interruptCallback(void *priv, std::uint64_t id, usb_redir_interrupt_packet_header *header,
                                  std::uint8_t *data, int)
{
    RedirPeer *peer = self(priv);
    if (data)
        usbredirparser_free_packet_data(peer->m_parser, data);
    // No interrupt OUT endpoint.
    usb_redir_interrupt_packet_header reply = *header;
    reply.status = usb_redir_stall;
    reply.length = 0;
    usbredirparser_send_interrupt_packet(peer->m_parser, id, &reply, nullptr, 0);
}

} // namespace dorvent::vusb
