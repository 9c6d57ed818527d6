// The emulated reader's hotplug events through libusb's own API: queued at
// plug and unplug, signalled on the context's descriptor, delivered only
// inside libusb_handle_events_timeout_completed, filtered as registered.

#include "emulatedreader.h"

#include <libusb.h>

#include <QtTest>

#include <poll.h>
#include <sys/time.h>

#include <vector>

using dorvent::emulator::EmulatedReader;

namespace {

struct Seen
{
    std::vector<libusb_hotplug_event> events;
    std::vector<libusb_device *> devices;
    int finishAfter = 0; // return 1 (deregister) on this call; 0 never
};

int LIBUSB_CALL record(libusb_context *, libusb_device *device, libusb_hotplug_event event, void *user)
{
    auto *seen = static_cast<Seen *>(user);
    seen->events.push_back(event);
    seen->devices.push_back(device);
    return seen->finishAfter && int(seen->events.size()) == seen->finishAfter ? 1 : 0;
}

constexpr int kBoth = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
constexpr auto kArrived = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
constexpr auto kLeft = LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;

using Events = std::vector<libusb_hotplug_event>;

} // namespace

Q_DECLARE_METATYPE(Events)

class tst_EmulatedHotplug : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void deliveredOnlyWhenHandled();
    void registration_data();
    void registration();
    void callbacksThatEnd();
    void refusedRegistrations_data();
    void refusedRegistrations();
    void contextsAreSeparate();

private:
    EmulatedReader &reader() { return EmulatedReader::instance(); }
    int handle(libusb_context *context)
    {
        timeval zero{0, 0};
        return libusb_handle_events_timeout_completed(context, &zero, nullptr);
    }
    // Whether the context's descriptor says that events wait.
    bool readable(libusb_context *context);

    libusb_context *m_context = nullptr;
};

void tst_EmulatedHotplug::init()
{
    reader().setHotplugCapability(true);
    reader().reset();
    QCOMPARE(libusb_init(&m_context), 0);
}

void tst_EmulatedHotplug::cleanup()
{
    libusb_exit(m_context);
    reader().setHotplugCapability(true);
}

bool tst_EmulatedHotplug::readable(libusb_context *context)
{
    const libusb_pollfd **fds = libusb_get_pollfds(context);
    if (!fds || !fds[0] || fds[1])
        return false; // one descriptor, always
    pollfd fd{fds[0]->fd, fds[0]->events, 0};
    libusb_free_pollfds(fds);
    return ::poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN);
}

void tst_EmulatedHotplug::deliveredOnlyWhenHandled()
{
    QCOMPARE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
    Seen seen;
    libusb_hotplug_callback_handle id = 0;
    QCOMPARE(libusb_hotplug_register_callback(m_context, kBoth, 0, 0x06CE, 0xE03F, LIBUSB_HOTPLUG_MATCH_ANY,
                                              record, &seen, &id),
             int(LIBUSB_SUCCESS));
    QVERIFY(id > 0);
    QVERIFY(!readable(m_context));

    reader().unplug();
    reader().plug();
    QVERIFY(seen.events.empty());
    QVERIFY(readable(m_context));
    QCOMPARE(reader().pendingHotplugEvents(), 2);

    QCOMPARE(handle(m_context), 0);
    QCOMPARE(seen.events, (Events{kLeft, kArrived}));
    QVERIFY(seen.devices[0] && seen.devices[1]);
    QVERIFY(seen.devices[0] != seen.devices[1]); // a plug-in is a new device
    QVERIFY(!readable(m_context));
    QCOMPARE(reader().pendingHotplugEvents(), 0);

    // Nothing new: nothing delivered again.
    QCOMPARE(handle(m_context), 0);
    QCOMPARE(seen.events.size(), std::size_t(2));
}

void tst_EmulatedHotplug::registration_data()
{
    QTest::addColumn<int>("events");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<bool>("pluggedAtRegistration");
    QTest::addColumn<Events>("atRegistration");
    QTest::addColumn<Events>("afterUnplugAndPlug");

    const int any = LIBUSB_HOTPLUG_MATCH_ANY;
    QTest::newRow("enumerated: the reader is there") << kBoth << int(LIBUSB_HOTPLUG_ENUMERATE) << 0x06CE
                                                     << 0xE03F << true << Events{kArrived} << Events{kLeft, kArrived};
    QTest::newRow("enumerated: no reader") << kBoth << int(LIBUSB_HOTPLUG_ENUMERATE) << 0x06CE << 0xE03F
                                           << false << Events{} << Events{kArrived, kLeft, kArrived};
    QTest::newRow("not enumerated") << kBoth << 0 << 0x06CE << 0xE03F << true << Events{}
                                    << Events{kLeft, kArrived};
    QTest::newRow("departures only, enumerated") << int(kLeft) << int(LIBUSB_HOTPLUG_ENUMERATE) << 0x06CE
                                                 << 0xE03F << true << Events{} << Events{kLeft};
    QTest::newRow("any device") << kBoth << 0 << any << any << true << Events{} << Events{kLeft, kArrived};
    QTest::newRow("another product") << kBoth << int(LIBUSB_HOTPLUG_ENUMERATE) << 0x06CE << 0xE040 << true
                                     << Events{} << Events{};
    QTest::newRow("another vendor") << kBoth << int(LIBUSB_HOTPLUG_ENUMERATE) << 0x1234 << any << true
                                    << Events{} << Events{};
}

void tst_EmulatedHotplug::registration()
{
    QFETCH(int, events);
    QFETCH(int, flags);
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(bool, pluggedAtRegistration);
    QFETCH(Events, atRegistration);
    QFETCH(Events, afterUnplugAndPlug);

    if (!pluggedAtRegistration) {
        reader().unplug();
        handle(m_context);
    }
    Seen seen;
    QCOMPARE(libusb_hotplug_register_callback(m_context, events, flags, vendor, product, LIBUSB_HOTPLUG_MATCH_ANY,
                                              record, &seen, nullptr),
             int(LIBUSB_SUCCESS));
    QCOMPARE(seen.events, atRegistration);
    if (!pluggedAtRegistration)
        reader().plug();
    reader().unplug();
    reader().plug();
    handle(m_context);
    Events all = atRegistration;
    all.insert(all.end(), afterUnplugAndPlug.begin(), afterUnplugAndPlug.end());
    QCOMPARE(seen.events, all);
}

void tst_EmulatedHotplug::callbacksThatEnd()
{
    // One that says it is done after its first call, one deregistered by
    // handle, one that stays.
    Seen once, dropped, stays;
    once.finishAfter = 1;
    libusb_hotplug_callback_handle droppedId = 0;
    for (Seen *seen : {&once, &dropped, &stays})
        QCOMPARE(libusb_hotplug_register_callback(m_context, kBoth, 0, 0x06CE, 0xE03F, LIBUSB_HOTPLUG_MATCH_ANY,
                                                  record, seen, seen == &dropped ? &droppedId : nullptr),
                 int(LIBUSB_SUCCESS));
    reader().unplug();
    handle(m_context);
    libusb_hotplug_deregister_callback(m_context, droppedId);
    reader().plug();
    handle(m_context);
    QCOMPARE(once.events, (Events{kLeft}));
    QCOMPARE(dropped.events, (Events{kLeft}));
    QCOMPARE(stays.events, (Events{kLeft, kArrived}));

    // Done at its enumeration: never armed.
    Seen enumeratedOnce;
    enumeratedOnce.finishAfter = 1;
    QCOMPARE(libusb_hotplug_register_callback(m_context, kBoth, LIBUSB_HOTPLUG_ENUMERATE, 0x06CE, 0xE03F,
                                              LIBUSB_HOTPLUG_MATCH_ANY, record, &enumeratedOnce, nullptr),
             int(LIBUSB_SUCCESS));
    reader().unplug();
    handle(m_context);
    QCOMPARE(enumeratedOnce.events, (Events{kArrived}));
}

void tst_EmulatedHotplug::refusedRegistrations_data()
{
    QTest::addColumn<bool>("capability");
    QTest::addColumn<bool>("withContext");
    QTest::addColumn<int>("events");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<bool>("withCallback");
    QTest::addColumn<int>("result");
    const int invalid = LIBUSB_ERROR_INVALID_PARAM;
    QTest::newRow("no hotplug on this platform") << false << true << kBoth << 0x06CE << true
                                                 << int(LIBUSB_ERROR_NOT_SUPPORTED);
    QTest::newRow("no events") << true << true << 0 << 0x06CE << true << invalid;
    QTest::newRow("an unknown event") << true << true << (kBoth | 4) << 0x06CE << true << invalid;
    QTest::newRow("a vendor beyond 16 bits") << true << true << kBoth << 0x10000 << true << invalid;
    QTest::newRow("no callback") << true << true << kBoth << 0x06CE << false << invalid;
    QTest::newRow("the default context") << true << false << kBoth << 0x06CE << true << invalid;
}

void tst_EmulatedHotplug::refusedRegistrations()
{
    QFETCH(bool, capability);
    QFETCH(bool, withContext);
    QFETCH(int, events);
    QFETCH(int, vendor);
    QFETCH(bool, withCallback);
    QFETCH(int, result);
    reader().setHotplugCapability(capability);
    QCOMPARE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), capability ? 1 : 0);
    Seen seen;
    QCOMPARE(libusb_hotplug_register_callback(withContext ? m_context : nullptr, events, LIBUSB_HOTPLUG_ENUMERATE,
                                              vendor, 0xE03F, LIBUSB_HOTPLUG_MATCH_ANY,
                                              withCallback ? record : nullptr, &seen, nullptr),
             result);
    reader().unplug();
    handle(m_context);
    QVERIFY(seen.events.empty());
}

void tst_EmulatedHotplug::contextsAreSeparate()
{
    libusb_context *other = nullptr;
    QCOMPARE(libusb_init(&other), 0);
    Seen here, there;
    QCOMPARE(libusb_hotplug_register_callback(m_context, kBoth, 0, 0x06CE, 0xE03F, LIBUSB_HOTPLUG_MATCH_ANY,
                                              record, &here, nullptr),
             0);
    QCOMPARE(libusb_hotplug_register_callback(other, kBoth, 0, 0x06CE, 0xE03F, LIBUSB_HOTPLUG_MATCH_ANY, record,
                                              &there, nullptr),
             0);
    reader().unplug();
    QCOMPARE(reader().pendingHotplugEvents(), 2);
    handle(other);
    QCOMPARE(there.events, (Events{kLeft}));
    QVERIFY(here.events.empty());
    QVERIFY(readable(m_context));

    // An ended context takes its events and callbacks with it.
    libusb_exit(other);
    QCOMPARE(reader().pendingHotplugEvents(), 1);
    reader().plug();
    handle(m_context);
    QCOMPARE(here.events, (Events{kLeft, kArrived}));
    QCOMPARE(there.events, (Events{kLeft}));
}

QTEST_MAIN(tst_EmulatedHotplug)
#include "tst_emulatedhotplug.moc"
