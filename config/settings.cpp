#include "settings.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>

namespace dorvent::config {

namespace {

constexpr qint64 kMaxFileSize = 64 * 1024;

int defaultPort(const QString &scheme)
{
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))
        return 443;
    if (scheme == QLatin1String("http") || scheme == QLatin1String("ws"))
        return 80;
    return -1;
}

bool isAny(const QString &item) { return item == QLatin1String("any") || item == QLatin1String("*"); }

// An origin as scheme, lower-case host and port (-1 for the scheme's
// default), the form browsers send and the file's entries are compared in.
struct OriginParts
{
    QString scheme;
    QString host;
    int port = -1;
    bool wildcard = false;
    QString error;
};

OriginParts splitOrigin(const QString &text, bool allowWildcard)
{
    OriginParts parts;
    const QString lower = text.toLower();
    const int schemeEnd = lower.indexOf(QLatin1String("://"));
    QString rest;
    if (schemeEnd < 0) {
        if (!(allowWildcard && lower.startsWith(QLatin1String("*.")))) {
            parts.error = QStringLiteral("'%1' is no origin: write it with its scheme, as https://%1").arg(text);
            return parts;
        }
        rest = lower;
    } else {
        parts.scheme = lower.left(schemeEnd);
        static const QRegularExpression kScheme(QStringLiteral("^[a-z][a-z0-9+.-]*$"));
        if (!kScheme.match(parts.scheme).hasMatch()) {
            parts.error = QStringLiteral("'%1' has no valid scheme").arg(text);
            return parts;
        }
        rest = lower.mid(schemeEnd + 3);
    }
    static const QRegularExpression kBeyondHost(QStringLiteral("[/?#@\\s]"));
    if (rest.contains(kBeyondHost)) {
        parts.error = QStringLiteral("'%1' is more than an origin: scheme://host[:port], with no path or trailing /")
                          .arg(text);
        return parts;
    }
    QString port;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0 || (close + 1 < rest.size() && rest.at(close + 1) != QLatin1Char(':'))) {
            parts.error = QStringLiteral("'%1' has a malformed IPv6 host").arg(text);
            return parts;
        }
        parts.host = rest.left(close + 1);
        if (close + 1 < rest.size())
            port = rest.mid(close + 2);
    } else {
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        parts.host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0)
            port = rest.mid(colon + 1);
    }
    if (parts.host.isEmpty() || parts.host == QLatin1String("[]")) {
        parts.error = QStringLiteral("'%1' has no host").arg(text);
        return parts;
    }
    if (schemeEnd >= 0 || !port.isNull()) {
        bool ok = false;
        const int number = port.isNull() ? -1 : port.toInt(&ok, 10);
        if (!port.isNull() && (!ok || number < 1 || number > 65535 || port.startsWith(QLatin1Char('+')))) {
            parts.error = QStringLiteral("'%1' has no valid port").arg(text);
            return parts;
        }
        parts.port = number == defaultPort(parts.scheme) ? -1 : number;
    }
    parts.wildcard = parts.host.startsWith(QLatin1String("*."));
    const QString domain = parts.wildcard ? parts.host.mid(2) : parts.host;
    if (domain.contains(QLatin1Char('*')) || (parts.wildcard && !allowWildcard) || domain.isEmpty()
        || domain.startsWith(QLatin1Char('.')) || domain.endsWith(QLatin1Char('.'))) {
        parts.error = QStringLiteral("'%1': a wildcard stands only at the start, as *.example.org").arg(text);
        return parts;
    }
    if (parts.wildcard)
        parts.host = domain;
    return parts;
}

QString originRuleText(const OriginRule &rule)
{
    switch (rule.kind) {
    case OriginRule::Kind::Opaque:
        return QStringLiteral("null");
    case OriginRule::Kind::Absent:
        return QStringLiteral("no-origin");
    case OriginRule::Kind::Exact:
    case OriginRule::Kind::Subdomains:
        break;
    }
    QString text;
    if (!rule.scheme.isEmpty())
        text = rule.scheme + QLatin1String("://");
    if (rule.kind == OriginRule::Kind::Subdomains)
        text += QLatin1String("*.");
    text += rule.host;
    if (rule.port >= 0)
        text += QLatin1Char(':') + QString::number(rule.port);
    return text;
}

struct Line
{
    int number;
    QStringList items;
};

using Reader = QString (*)(Settings &, const QStringList &);

QString anyStandsAlone(const QString &key) { return QStringLiteral("'any' stands alone in %1").arg(key); }

QString readListen(Settings &settings, const QStringList &items)
{
    for (const QString &item : items) {
        if (isAny(item)) {
            if (items.size() > 1)
                return anyStandsAlone(QStringLiteral("listen"));
            continue;
        }
        const QHostAddress address(item);
        if (address.isNull())
            return QStringLiteral("'%1' is not an IP address (listen takes addresses such as 127.0.0.1 and ::1, "
                                  "or any)")
                .arg(item);
        if (!settings.listen.contains(address))
            settings.listen << address;
    }
    return QString();
}

QString readOrigins(Settings &settings, const QStringList &items)
{
    settings.anyOrigin = false;
    for (const QString &item : items) {
        if (isAny(item)) {
            if (items.size() > 1)
                return anyStandsAlone(QStringLiteral("allowed-origins"));
            settings.anyOrigin = true;
            continue;
        }
        OriginRule rule;
        if (item == QLatin1String("null")) {
            rule.kind = OriginRule::Kind::Opaque;
        } else if (item == QLatin1String("no-origin")) {
            rule.kind = OriginRule::Kind::Absent;
        } else {
            const OriginParts parts = splitOrigin(item, true);
            if (!parts.error.isEmpty())
                return parts.error;
            rule.kind = parts.wildcard ? OriginRule::Kind::Subdomains : OriginRule::Kind::Exact;
            rule.scheme = parts.scheme;
            rule.host = parts.host;
            rule.port = parts.port;
        }
        if (!settings.origins.contains(rule))
            settings.origins << rule;
    }
    return QString();
}

QString readHosts(Settings &settings, const QStringList &items)
{
    settings.anyHost = false;
    for (const QString &item : items) {
        if (isAny(item)) {
            if (items.size() > 1)
                return anyStandsAlone(QStringLiteral("allowed-hosts"));
            settings.anyHost = true;
            continue;
        }
        QPair<QHostAddress, int> network;
        if (item.contains(QLatin1Char('/'))) {
            network = QHostAddress::parseSubnet(item);
        } else {
            network.first = QHostAddress(item);
            network.second = network.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        }
        if (network.first.isNull() || network.second < 0)
            return QStringLiteral("'%1' is neither an IP address nor a network such as 192.168.1.0/24").arg(item);
        if (!settings.hosts.contains(network))
            settings.hosts << network;
    }
    return QString();
}

QString readLog(Settings &settings, const QStringList &items)
{
    static const QHash<QString, LogLevel> kLevels = {
        {QStringLiteral("off"), LogLevel::Off},
        {QStringLiteral("requests"), LogLevel::Requests},
        {QStringLiteral("debug"), LogLevel::Debug},
    };
    if (items.size() != 1 || !kLevels.contains(items.first()))
        return QStringLiteral("log is one of off, requests, debug");
    settings.log = kLevels.value(items.first());
    return QString();
}

QString readTrace(Settings &settings, const QStringList &items)
{
    static const QHash<QString, TraceMode> kModes = {
        {QStringLiteral("off"), TraceMode::Off},
        {QStringLiteral("redacted"), TraceMode::Redacted},
        {QStringLiteral("everything"), TraceMode::Everything},
    };
    if (items.size() != 1 || !kModes.contains(items.first()))
        return QStringLiteral("trace is one of off, redacted, everything");
    settings.trace = kModes.value(items.first());
    return QString();
}

QString readTraceDirectory(Settings &settings, const QStringList &items)
{
    if (items.size() != 1 || !QDir::isAbsolutePath(items.first()))
        return QStringLiteral("trace-directory is one absolute path, such as %1")
            .arg(QLatin1String(kDefaultTraceDirectory));
    settings.traceDirectory = QDir::cleanPath(items.first());
    return QString();
}

struct Key
{
    const char *name;
    Reader read;
};

constexpr Key kKeys[] = {
    {"listen", readListen},
    {"allowed-origins", readOrigins},
    {"allowed-hosts", readHosts},
    {"log", readLog},
    {"trace", readTrace},
    {"trace-directory", readTraceDirectory},
};

} // namespace

bool OriginRule::operator==(const OriginRule &other) const
{
    return kind == other.kind && scheme == other.scheme && host == other.host && port == other.port;
}

bool Settings::originAllowed(const QString &origin, bool present) const
{
    if (anyOrigin)
        return true;
    const bool opaque = present && origin == QLatin1String("null");
    OriginParts parts;
    if (present && !opaque) {
        parts = splitOrigin(origin, false);
        if (!parts.error.isEmpty())
            return false;
    }
    for (const OriginRule &rule : origins) {
        switch (rule.kind) {
        case OriginRule::Kind::Absent:
            if (!present)
                return true;
            break;
        case OriginRule::Kind::Opaque:
            if (opaque)
                return true;
            break;
        case OriginRule::Kind::Exact:
            if (present && !opaque && parts.scheme == rule.scheme && parts.host == rule.host && parts.port == rule.port)
                return true;
            break;
        case OriginRule::Kind::Subdomains:
            if (present && !opaque && (rule.scheme.isEmpty() || parts.scheme == rule.scheme)
                && parts.port == rule.port && parts.host.size() > rule.host.size() + 1
                && parts.host.endsWith(rule.host)
                && parts.host.at(parts.host.size() - rule.host.size() - 1) == QLatin1Char('.'))
                return true;
            break;
        }
    }
    return false;
}

bool Settings::hostAllowed(const QHostAddress &client) const
{
    const QHostAddress address = plainAddress(client);
    if (anyHost || address.isLoopback())
        return true;
    for (const auto &network : hosts) {
        if (address.isInSubnet(network.first, network.second))
            return true;
    }
    return false;
}

QString Settings::describe() const
{
    QStringList listenText;
    for (const QHostAddress &address : listen)
        listenText << address.toString();
    QStringList originText;
    for (const OriginRule &rule : origins)
        originText << originRuleText(rule);
    QStringList hostText;
    for (const auto &network : hosts) {
        const int full = network.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        hostText << (network.second == full ? network.first.toString()
                                            : network.first.toString() + QLatin1Char('/') + QString::number(network.second));
    }
    const QString any = QStringLiteral("any");
    QString text = QStringLiteral("listen %1; allowed-origins %2; allowed-hosts %3; log %4")
                       .arg(listen.isEmpty() ? any : listenText.join(QLatin1Char(' ')),
                            anyOrigin ? any : originText.join(QLatin1Char(' ')),
                            anyHost ? any : hostText.join(QLatin1Char(' ')), logLevelName(log));
    // Recording is personal data on disk: said whenever it is on.
    if (trace != TraceMode::Off)
        text += QStringLiteral("; trace %1; trace-directory %2").arg(traceModeName(trace), traceDirectory);
    return text;
}

bool Settings::operator==(const Settings &other) const
{
    return listen == other.listen && anyOrigin == other.anyOrigin && origins == other.origins
           && anyHost == other.anyHost && hosts == other.hosts && log == other.log && trace == other.trace
           && traceDirectory == other.traceDirectory;
}

Parsed parseSettings(const QByteArray &text, const QString &fileName)
{
    Parsed parsed;
    QHash<QString, int> seen; // key -> line
    const QList<QByteArray> lines = text.split('\n');
    const auto fail = [&](int number, const QString &reason) {
        parsed.ok = false;
        parsed.settings = Settings();
        parsed.error = QStringLiteral("%1:%2: %3").arg(fileName).arg(number).arg(reason);
        return parsed;
    };
    static const QRegularExpression kSeparators(QStringLiteral("[\\s,]+"));
    static const QRegularExpression kComment(QStringLiteral("(^|\\s)[#;].*$"));
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        QString line = QString::fromUtf8(lines.at(i));
        line.remove(kComment);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(number, QStringLiteral("expected 'setting = value'"));
        const QString key = line.left(equals).trimmed();
        const QStringList items = line.mid(equals + 1).split(kSeparators, Qt::SkipEmptyParts);
        const Key *found = nullptr;
        for (const Key &candidate : kKeys) {
            if (key == QLatin1String(candidate.name))
                found = &candidate;
        }
        if (!found)
            return fail(number, QStringLiteral("unknown setting '%1' (known: listen, allowed-origins, allowed-hosts, "
                                               "log, trace, trace-directory)")
                                    .arg(key));
        if (seen.contains(key))
            return fail(number, QStringLiteral("%1 is set twice (first on line %2)").arg(key).arg(seen.value(key)));
        seen.insert(key, number);
        if (items.isEmpty())
            return fail(number, QStringLiteral("%1 has no value").arg(key));
        const QString error = found->read(parsed.settings, items);
        if (!error.isEmpty())
            return fail(number, error);
    }
    return parsed;
}

Parsed loadSettings(const QString &path, bool mustExist)
{
    Parsed parsed;
    QFile file(path);
    if (!file.exists() && !mustExist)
        return parsed;
    if (!file.open(QIODevice::ReadOnly)) {
        parsed.ok = false;
        parsed.error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return parsed;
    }
    const QByteArray text = file.read(kMaxFileSize + 1);
    if (text.size() > kMaxFileSize) {
        parsed.ok = false;
        parsed.error = QStringLiteral("%1: larger than %2 KiB: not a configuration file").arg(path).arg(kMaxFileSize / 1024);
        return parsed;
    }
    return parseSettings(text, path);
}

QHostAddress plainAddress(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 ipv4 = address.protocol() == QAbstractSocket::IPv6Protocol ? address.toIPv4Address(&mapped) : 0;
    return mapped ? QHostAddress(ipv4) : address;
}

QString endpointText(const QHostAddress &address, quint16 port)
{
    const QHostAddress plain = plainAddress(address);
    const QString host = plain.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + plain.toString() + QLatin1Char(']')
        : plain.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

QString logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Off:
        return QStringLiteral("off");
    case LogLevel::Debug:
        return QStringLiteral("debug");
    case LogLevel::Requests:
        break;
    }
    return QStringLiteral("requests");
}

QString traceModeName(TraceMode mode)
{
    switch (mode) {
    case TraceMode::Redacted:
        return QStringLiteral("redacted");
    case TraceMode::Everything:
        return QStringLiteral("everything");
    case TraceMode::Off:
        break;
    }
    return QStringLiteral("off");
}

} // namespace dorvent::config

namespace dorvent::config {

ConfigFile configFileFrom(const QStringList &arguments)
{
    ConfigFile file;
    file.path = QString::fromLatin1(kDefaultConfigPath);
    const QString option = QStringLiteral("--config");
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == option) {
            if (i + 1 >= arguments.size()) {
                file.error = QStringLiteral("--config needs a file");
                return file;
            }
            file.path = arguments.at(++i);
            file.named = true;
        } else if (argument.startsWith(option + QLatin1Char('='))) {
            file.path = argument.mid(option.size() + 1);
            file.named = true;
        }
    }
    return file;
}

Settings TraceOption::appliedTo(Settings settings) const
{
    if (given) {
        settings.trace = everything ? TraceMode::Everything : TraceMode::Redacted;
        settings.traceDirectory = directory;
    }
    return settings;
}

TraceOption traceOptionFrom(const QStringList &arguments)
{
    TraceOption option;
    const QString trace = QStringLiteral("--trace");
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString directory;
        if (argument == trace) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).startsWith(QLatin1Char('-'))) {
                option.error = QStringLiteral("--trace needs a directory");
                return option;
            }
            directory = arguments.at(++i);
        } else if (argument.startsWith(trace + QLatin1Char('='))) {
            directory = argument.mid(trace.size() + 1);
        } else if (argument == QLatin1String("--trace-everything")) {
            option.everything = true;
            continue;
        } else {
            continue;
        }
        if (directory.isEmpty()) {
            option.error = QStringLiteral("--trace needs a directory");
            return option;
        }
        option.given = true;
        option.directory = QDir::cleanPath(QDir::current().absoluteFilePath(directory));
    }
    if (option.everything && !option.given)
        option.error = QStringLiteral("--trace-everything needs --trace DIR");
    return option;
}

} // namespace dorvent::config
