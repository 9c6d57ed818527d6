#pragma once

#include <QString>

namespace doctor {

// A tarball to attach to a support request: versions, the configuration,
// the USB devices, the doctor's report, the service's state and its journal
// of the last hour, masked. Empty on success, else why it was not written.
QString writeBundle(const QString &file, const QString &report);

} // namespace doctor
