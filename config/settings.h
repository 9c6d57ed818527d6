#pragma once

#include <QHostAddress>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

namespace dorvent::config {

// Where the package puts the administrator's file; absent means the built-in defaults.
constexpr char kDefaultConfigPath[] = "/etc/dorvent/dorvent.conf";

enum class LogLevel
{
    Off,
    Requests, // one line per connection and per request
    Debug,    // and every frame, masked
};

// Whether the service records its sessions with the reader (trace files).
enum class TraceMode
{
    Off,
    Redacted,   // keys, PINs, APDU data and the holders' data replaced by markers
    Everything, // every byte: only for the user's own machine
};

// Where trace files go unless trace-directory says otherwise.
constexpr char kDefaultTraceDirectory[] = "/var/lib/dorvent/traces";

// One entry of allowed-origins.
struct OriginRule
{
    enum class Kind
    {
        Exact,      // scheme://host[:port]
        Subdomains, // [scheme://]*.domain[:port]: every host below domain
        Opaque,     // "null": file:// pages, sandboxed frames, data: URLs
        Absent,     // no Origin header: programs, not browsers
    };
    Kind kind = Kind::Exact;
    QString scheme; // empty in a wildcard without one: any scheme
    QString host;   // lower case; the domain for Subdomains
    int port = -1;  // -1: the scheme's default port

    bool operator==(const OriginRule &other) const;
};

// What the administrator may narrow. Default-constructed, it is the service
// as it always was: every address, any origin, any host, requests logged.
struct Settings
{
    QVector<QHostAddress> listen; // empty: every address, IPv4 and IPv6
    bool anyOrigin = true;
    QVector<OriginRule> origins;
    bool anyHost = true;
    QVector<QPair<QHostAddress, int>> hosts; // networks; loopback clients are always allowed
    LogLevel log = LogLevel::Requests;
    TraceMode trace = TraceMode::Off;
    QString traceDirectory = QString::fromLatin1(kDefaultTraceDirectory);

    // origin as the client sent it; present false when it sent none.
    bool originAllowed(const QString &origin, bool present) const;
    bool hostAllowed(const QHostAddress &client) const;
    // The settings in the file's own words, for the log.
    QString describe() const;

    bool operator==(const Settings &other) const;
    bool operator!=(const Settings &other) const { return !(*this == other); }
};

// A configuration read from text. On failure, error names the line and why
// ("FILE:LINE: reason"), and settings are the defaults.
struct Parsed
{
    bool ok = true;
    Settings settings;
    QString error;
};

Parsed parseSettings(const QByteArray &text, const QString &fileName);
// mustExist: a file named on the command line must be there; the packaged
// path may be absent (the defaults then).
Parsed loadSettings(const QString &path, bool mustExist);

// An IPv4 client on a dual-stack socket arrives as ::ffff:a.b.c.d: as a.b.c.d.
QHostAddress plainAddress(const QHostAddress &address);
// "a.b.c.d:port" or "[v6]:port".
QString endpointText(const QHostAddress &address, quint16 port);
QString logLevelName(LogLevel level);
QString traceModeName(TraceMode mode);

} // namespace dorvent::config

namespace dorvent::config {

// The file to read: --config FILE (or --config=FILE) among the arguments,
// else the packaged path.
struct ConfigFile
{
    QString path;
    bool named = false; // given on the command line: it must exist
    QString error;      // "--config" without a file
};

ConfigFile configFileFrom(const QStringList &arguments);

// --trace DIR (or --trace=DIR) records redacted traces into DIR, whatever
// the file says; with --trace-everything, everything.
struct TraceOption
{
    bool given = false;
    QString directory; // absolute
    bool everything = false;
    QString error;

    // The settings with this option in force.
    Settings appliedTo(Settings settings) const;
};

TraceOption traceOptionFrom(const QStringList &arguments);

// sysexits' EX_CONFIG: a configuration that cannot be used.
constexpr int kExitBadConfig = 78;

} // namespace dorvent::config
