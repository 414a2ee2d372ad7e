// SPDX-License-Identifier: GPL-3.0-or-later
// The targets file's parser: sections, keys and their values, then each
// target completed from its request file and the defaults.
#include "monitor_config.h"

#include "codec/default_request.h"
#include "codec/frame_layout.h"
#include "config_values.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <map>

namespace {

// A targets file is a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

const QString kLabelPrefix = QStringLiteral("label.");

// Label names the monitor sets itself on a target's metrics.
const QStringList kFixedLabels = {QStringLiteral("target"), QStringLiteral("host"),
                                  QStringLiteral("protocol"), QStringLiteral("check"), QStringLiteral("le")};

const QStringList kKeys = {QStringLiteral("host"),     QStringLiteral("protocol"),
                           QStringLiteral("port"),     QStringLiteral("request"),
                           QStringLiteral("interval"), QStringLiteral("reply-timeout")};

QString quoted(const QString& text)
{
    return u'"' + text + u'"';
}

struct Value {
    QString text;
    int line = 0;
};

// A section as written: its keys with the lines they are on.
struct Section {
    QString name;
    int line = 0;
    std::map<QString, Value> values;
    std::vector<std::pair<QString, Value>> labels;
};

class Parser {
public:
    Parser(const QString& fileName, const QString& baseDir)
        : m_fileName(fileName)
        , m_baseDir(baseDir)
    {
    }

    MonitorConfigRead parse(const QByteArray& bytes);

private:
    // Each returns false after setting the error.
    bool fail(int line, const QString& reason);
    bool takeLine(const QString& line, int number);
    bool takeHeader(const QString& line, int number);
    bool takeValue(const QString& key, const QString& value, int number);
    bool finishSection();
    // The file's texts, protocol and host into `target`; its port, which
    // belongs to its protocol, into `filePort`.
    bool applyRequestFile(const Section& section, TargetConfig& target, bool& hasFileHost,
                          std::optional<quint16>& filePort);
    bool applyTiming(const Section& section, TargetConfig& target);
    std::optional<qint64> duration(const Value& value, const QString& key, qint64 minimum, qint64 maximum);

    QString m_fileName;
    QString m_baseDir;
    QString m_error;
    std::optional<Section> m_section;
    std::map<QString, int> m_names; // target names and the lines they came on
    MonitorConfig m_config;
    int m_lines = 0;
};

bool Parser::fail(int line, const QString& reason)
{
    m_error = QStringLiteral("%1:%2: %3").arg(m_fileName, QString::number(line), reason);
    return false;
}

MonitorConfigRead Parser::parse(const QByteArray& bytes)
{
    QString text = QString::fromUtf8(bytes);
    // Editors on Windows start a UTF-8 file with a byte order mark.
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    const QStringList lines = text.split(u'\n');
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (!takeLine(line.trimmed(), i + 1))
            return {std::nullopt, m_error};
    }
    m_lines = static_cast<int>(lines.size());
    if (!finishSection())
        return {std::nullopt, m_error};
    if (m_config.targets.empty()) {
        fail(std::max(1, m_lines - (text.endsWith(u'\n') ? 1 : 0)),
             QStringLiteral("no targets: the file needs at least one [name] section"));
        return {std::nullopt, m_error};
    }
    return {m_config, {}};
}

bool Parser::takeLine(const QString& line, int number)
{
    if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
        return true;
    if (line.startsWith(u'['))
        return takeHeader(line, number);
    const qsizetype equals = line.indexOf(u'=');
    if (equals < 0)
        return fail(
            number,
            QStringLiteral("expected \"key = value\", a [name] or a # comment, got %1").arg(quoted(line)));
    const QString key = line.left(equals).trimmed();
    const QString value = line.mid(equals + 1).trimmed();
    if (key.isEmpty())
        return fail(number, QStringLiteral("a value without its key"));
    if (!m_section)
        return fail(number, QStringLiteral("key %1 before the first [name] section").arg(quoted(key)));
    return takeValue(key, value, number);
}

bool Parser::takeHeader(const QString& line, int number)
{
    if (!line.endsWith(u']'))
        return fail(number, QStringLiteral("the section header %1 has no closing ]").arg(quoted(line)));
    const QString name = line.mid(1, line.size() - 2).trimmed();
    if (name.isEmpty())
        return fail(number, QStringLiteral("a section without a name: [] names no target"));
    for (const QChar c : name) {
        if (!c.isPrint() || c == u'[' || c == u']' || c == u'"' || c == u'\\')
            return fail(number,
                        QStringLiteral("the target name %1 holds a character it may not (brackets, "
                                       "quotes, backslashes and control characters)")
                            .arg(quoted(name)));
    }
    if (!finishSection())
        return false;
    const auto known = m_names.find(name);
    if (known != m_names.end()) {
        return fail(number,
                    QStringLiteral("a second target named %1 (the first is on line %2)")
                        .arg(quoted(name), QString::number(known->second)));
    }
    m_names.emplace(name, number);
    m_section = Section{name, number, {}, {}};
    return true;
}

bool Parser::takeValue(const QString& key, const QString& value, int number)
{
    Section& section = *m_section;
    auto given = [&](const Value* earlier) {
        return fail(number,
                    QStringLiteral("%1 is given twice in [%2] (first on line %3)")
                        .arg(key, section.name, QString::number(earlier->line)));
    };
    if (key.startsWith(kLabelPrefix)) {
        const QString label = key.mid(kLabelPrefix.size());
        if (!isLabelName(label)) {
            return fail(number,
                        QStringLiteral("%1 is not a label name: letters, digits and underscores, "
                                       "not a digit first, not two underscores first")
                            .arg(quoted(label)));
        }
        if (kFixedLabels.contains(label)) {
            return fail(number,
                        QStringLiteral("the label %1 is the monitor's own (%2 are)")
                            .arg(quoted(label), kFixedLabels.join(QStringLiteral(", "))));
        }
        if (value.isEmpty())
            return fail(number, QStringLiteral("%1 has no value").arg(key));
        for (const auto& [name, earlier] : section.labels) {
            if (name == label)
                return given(&earlier);
        }
        section.labels.emplace_back(label, Value{value, number});
        return true;
    }
    if (!kKeys.contains(key)) {
        return fail(number,
                    QStringLiteral("unknown key %1 (known: %2, label.NAME)")
                        .arg(quoted(key), kKeys.join(QStringLiteral(", "))));
    }
    const auto earlier = section.values.find(key);
    if (earlier != section.values.end())
        return given(&earlier->second);
    section.values.emplace(key, Value{value, number});
    return true;
}

std::optional<qint64> Parser::duration(const Value& value, const QString& key, qint64 minimum, qint64 maximum)
{
    const std::optional<qint64> ms = parseDurationMs(value.text);
    if (!ms) {
        fail(value.line,
             QStringLiteral("%1 %2 is not a duration: a number and its unit, ms, s, m or h "
                            "(e.g. 500ms, 1s)")
                 .arg(key, quoted(value.text)));
        return std::nullopt;
    }
    if (*ms < minimum || *ms > maximum) {
        fail(value.line,
             QStringLiteral("%1 %2 is out of range: from %3 to %4")
                 .arg(key, value.text, durationText(minimum), durationText(maximum)));
        return std::nullopt;
    }
    return ms;
}

bool Parser::applyRequestFile(const Section& section, TargetConfig& target, bool& hasFileHost,
                              std::optional<quint16>& filePort)
{
    const auto found = section.values.find(QStringLiteral("request"));
    if (found == section.values.end()) {
        return fail(section.line,
                    QStringLiteral("[%1] has no request: add request = FILE, a request file as "
                                   "the window saves it")
                        .arg(section.name));
    }
    const Value& request = found->second;
    if (request.text.isEmpty())
        return fail(request.line, QStringLiteral("request names no file"));
    const QString path = QDir::cleanPath(QDir(m_baseDir).absoluteFilePath(request.text));
    if (!QFileInfo(path).isFile())
        return fail(request.line, QStringLiteral("the request file %1 does not exist").arg(path));
    const RequestFileRead read = loadRequestFile(path);
    if (!read.file)
        return fail(request.line,
                    QStringLiteral("the request file %1 cannot be used: %2").arg(path, read.error));
    const RequestFile& file = *read.file;
    target.requestPath = path;
    target.texts = file.texts;
    // Each request carries its own number as its invoke ID.
    target.texts.invokeId = QLatin1String(frame::kDefaultInvokeIdText);
    if (file.protocol)
        target.protocol = *file.protocol;
    filePort = file.port;
    if (file.host && !file.host->isEmpty()) {
        if (!isHostSyntax(*file.host)) {
            return fail(request.line,
                        QStringLiteral("the request file %1 names the host %2, which is not an "
                                       "IP address or a host name")
                            .arg(path, quoted(*file.host)));
        }
        target.host = bareHost(*file.host);
        hasFileHost = true;
    }
    return true;
}

bool Parser::applyTiming(const Section& section, TargetConfig& target)
{
    const auto interval = section.values.find(QStringLiteral("interval"));
    if (interval != section.values.end()) {
        const auto ms =
            duration(interval->second, QStringLiteral("interval"), kMinIntervalMs, kMaxIntervalMs);
        if (!ms)
            return false;
        target.intervalMs = *ms;
    }
    const auto timeout = section.values.find(QStringLiteral("reply-timeout"));
    if (timeout == section.values.end()) {
        // One request in flight: it must be decided by the next one's turn.
        target.replyTimeoutMs = std::min(kDefaultReplyTimeoutMs, target.intervalMs);
        return true;
    }
    const auto ms =
        duration(timeout->second, QStringLiteral("reply-timeout"), kMinReplyTimeoutMs, kMaxIntervalMs);
    if (!ms)
        return false;
    if (*ms > target.intervalMs) {
        return fail(timeout->second.line,
                    QStringLiteral("reply-timeout %1 is longer than the interval %2: one request at a time "
                                   "waits at most until the next is due")
                        .arg(timeout->second.text, durationText(target.intervalMs)));
    }
    target.replyTimeoutMs = *ms;
    return true;
}

bool Parser::finishSection()
{
    if (!m_section)
        return true;
    const Section section = std::move(*m_section);
    m_section.reset();
    TargetConfig target;
    target.name = section.name;
    target.line = section.line;
    bool hasFileHost = false;
    std::optional<quint16> filePort;
    if (!applyRequestFile(section, target, hasFileHost, filePort))
        return false;
    // The file's port belongs to the file's protocol: a TCP port reaches no
    // UDP listener.
    const RequestProtocol fileProtocol = target.protocol;
    const auto protocol = section.values.find(QStringLiteral("protocol"));
    if (protocol != section.values.end()) {
        const QString text = protocol->second.text.toLower();
        if (text == QLatin1String("tcp"))
            target.protocol = RequestProtocol::Tcp;
        else if (text == QLatin1String("udp"))
            target.protocol = RequestProtocol::Udp;
        else
            return fail(
                protocol->second.line,
                QStringLiteral("protocol %1 is neither tcp nor udp").arg(quoted(protocol->second.text)));
    }
    const auto port = section.values.find(QStringLiteral("port"));
    if (port != section.values.end()) {
        bool ok = false;
        const uint value = port->second.text.toUInt(&ok);
        if (!ok || value < 1 || value > 65535)
            return fail(port->second.line,
                        QStringLiteral("port %1 is not a whole number from 1 to 65535")
                            .arg(quoted(port->second.text)));
        target.port = static_cast<quint16>(value);
    } else if (filePort && target.protocol == fileProtocol) {
        target.port = *filePort;
    } else {
        target.port = target.protocol == RequestProtocol::Tcp ? frame::kTcpPort : frame::kUdpPort;
    }
    const auto host = section.values.find(QStringLiteral("host"));
    if (host != section.values.end()) {
        if (host->second.text.isEmpty())
            return fail(host->second.line, QStringLiteral("host is empty"));
        if (!isHostSyntax(host->second.text)) {
            return fail(
                host->second.line,
                QStringLiteral("host %1 is not an IP address or a host name").arg(quoted(host->second.text)));
        }
        target.host = bareHost(host->second.text);
    } else if (!hasFileHost) {
        return fail(section.line,
                    QStringLiteral("[%1] has no host: add host = ADDRESS (its request file "
                                   "names none)")
                        .arg(section.name));
    }
    if (!applyTiming(section, target))
        return false;
    for (const auto& [name, value] : section.labels)
        target.labels.emplace_back(name, value.text);
    std::sort(target.labels.begin(), target.labels.end());
    m_config.targets.push_back(std::move(target));
    return true;
}

} // namespace

bool sameSettings(const TargetConfig& a, const TargetConfig& b)
{
    const RequestTexts& x = a.texts;
    const RequestTexts& y = b.texts;
    return a.name == b.name && a.host == b.host && a.protocol == b.protocol && a.port == b.port
        && a.requestPath == b.requestPath && x.comId == y.comId && x.src == y.src && x.invokeId == y.invokeId
        && x.cmnd == y.cmnd && x.dataType == y.dataType && x.varNo == y.varNo && x.data == y.data
        && a.intervalMs == b.intervalMs && a.replyTimeoutMs == b.replyTimeoutMs && a.labels == b.labels;
}

QString protocolName(RequestProtocol protocol)
{
    return protocol == RequestProtocol::Tcp ? QStringLiteral("tcp") : QStringLiteral("udp");
}

MonitorConfigRead parseMonitorConfig(const QByteArray& text, const QString& fileName, const QString& baseDir)
{
    return Parser(fileName, baseDir).parse(text);
}

MonitorConfigRead loadMonitorConfig(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, QStringLiteral("%1: cannot read it: %2").arg(path, file.errorString())};
    const QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes)
        return {std::nullopt,
                QStringLiteral("%1: larger than %2 bytes; not a targets file").arg(path).arg(kMaxFileBytes)};
    if (file.error() != QFileDevice::NoError)
        return {std::nullopt, QStringLiteral("%1: cannot read it: %2").arg(path, file.errorString())};
    return parseMonitorConfig(bytes, path, QFileInfo(path).absolutePath());
}
