// The libusb-1.0 entry points the driver calls, answered by the emulated
// reader. Linked in place of the real library (dorvent-emu and the tests), so
// the driver runs unchanged down to libusb_control_transfer.

#include "emulatedreader.h"
#include "libusb_objects.h"

#include <libusb.h>

using dorvent::emulator::EmulatedReader;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    return EmulatedReader::instance().init(ctx);
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx)
{
    EmulatedReader::instance().exit(ctx);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    return EmulatedReader::instance().deviceList(ctx, list);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int)
{
    EmulatedReader::instance().freeDeviceList(list);
}

libusb_device_handle *LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context *ctx,
                                                                  uint16_t vendor_id,
                                                                  uint16_t product_id)
{
    return EmulatedReader::instance().open(ctx, vendor_id, product_id);
}

void LIBUSB_CALL libusb_close(libusb_device_handle *dev_handle)
{
    EmulatedReader::instance().close(dev_handle);
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *dev_handle, int interface_number)
{
    return EmulatedReader::instance().kernelDriverActive(dev_handle, interface_number);
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *dev_handle, int interface_number)
{
    return EmulatedReader::instance().detachKernelDriver(dev_handle, interface_number);
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number)
{
    return EmulatedReader::instance().claim(dev_handle, interface_number);
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *dev_handle, int interface_number)
{
    return EmulatedReader::instance().release(dev_handle, interface_number);
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char *data, uint16_t wLength, unsigned int timeout)
{
    return EmulatedReader::instance().controlTransfer(dev_handle, request_type, bRequest, wValue,
                                                      wIndex, data, wLength, timeout);
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return EmulatedReader::instance().hasCapability(capability);
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context *ctx, int events, int flags,
                                                 int vendor_id, int product_id, int dev_class,
                                                 libusb_hotplug_callback_fn cb_fn, void *user_data,
                                                 libusb_hotplug_callback_handle *callback_handle)
{
    return EmulatedReader::instance().registerHotplug(ctx, events, flags, vendor_id, product_id,
                                                      dev_class, cb_fn, user_data, callback_handle);
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context *ctx,
                                                    libusb_hotplug_callback_handle callback_handle)
{
    EmulatedReader::instance().deregisterHotplug(ctx, callback_handle);
}

// The emulated reader never blocks: the time-out is not waited for.
int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *,
                                                       int *)
{
    return EmulatedReader::instance().handleEvents(ctx);
}

const struct libusb_pollfd **LIBUSB_CALL libusb_get_pollfds(libusb_context *ctx)
{
    return EmulatedReader::instance().pollfds(ctx);
}

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd **pollfds)
{
    EmulatedReader::instance().freePollfds(pollfds);
}

// The emulated context's descriptors never change: nothing to report.
void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context *, libusb_pollfd_added_cb,
                                             libusb_pollfd_removed_cb, void *)
{
}

} // extern "C"
