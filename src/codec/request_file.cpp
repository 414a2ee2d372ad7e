// SPDX-License-Identifier: GPL-3.0-or-later
// Request files: JSON to a request's texts and connection and back, every
// value checked the way the window and the probe check what is typed.
#include "codec/request_file.h"

#include "codec/frame_layout.h"
#include "codec/request_defaults.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>

#include <cmath>
#include <iterator>
#include <limits>

namespace {

constexpr char kFormatName[] = "vexa-request";
// A request file is a few hundred bytes; anything far bigger is something
// else picked by mistake, and is not read into memory whole.
constexpr qint64 kMaxFileBytes = 1024 * 1024;
// The window's boxes for Invoke ID, Command, Data Type and Var No hold four
// characters; a longer text would be cut on the way in and send otherwise.
constexpr int kPairFieldChars = 2 * frame::kFieldPairSize;
// A text quoted in a message is cut here, as the encoder cuts its own.
constexpr int kMaxQuotedChars = 40;

struct TextKey {
    RequestField field;
    const char* key;
    const char* label; // as the window's messages name the box
    QString RequestTexts::*member;
    int maxChars; // 0: the encoder's own limit is the only one
};

const TextKey kTextKeys[] = {
    {RequestField::ComId, "comId", "Com ID", &RequestTexts::comId, 0},
    {RequestField::Src, "source", "Source", &RequestTexts::src, 0},
    {RequestField::InvokeId, "invokeId", "Invoke ID", &RequestTexts::invokeId, kPairFieldChars},
    {RequestField::Cmnd, "command", "Command", &RequestTexts::cmnd, kPairFieldChars},
    {RequestField::DataType, "dataType", "Data Type", &RequestTexts::dataType, kPairFieldChars},
    {RequestField::VarNo, "varNo", "Var No", &RequestTexts::varNo, kPairFieldChars},
    {RequestField::Data, "data", "Data", &RequestTexts::data, 0},
};
static_assert(std::size(kTextKeys) == std::tuple_size_v<decltype(RequestFile::hasText)>);

const QString kRequestKey = QStringLiteral("request");
const QString kConnectionKey = QStringLiteral("connection");
const QString kProtocolKey = QStringLiteral("protocol");
const QString kHostKey = QStringLiteral("host");
const QString kPortKey = QStringLiteral("port");
const QString kTimeoutKey = QStringLiteral("replyTimeoutMs");

QString kindOf(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("true or false");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a text");
    case QJsonValue::Array:
        return QStringLiteral("a list");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

QString wrongType(const char* label, const QString& key, const QJsonValue& value, const char* wanted)
{
    return QStringLiteral("%1: \"%2\" holds %3, not %4.")
        .arg(QLatin1String(label), key, kindOf(value), QLatin1String(wanted));
}

QString quoted(const QString& text)
{
    if (text.size() <= kMaxQuotedChars)
        return u'"' + text + u'"';
    return u'"' + text.left(kMaxQuotedChars) + QStringLiteral("\u2026\"");
}

QString numberText(double value)
{
    return QString::number(value, 'g', 16);
}

// A whole number in [minimum, maximum], or nothing.
std::optional<qint64> wholeNumber(const QJsonValue& value, qint64 minimum, qint64 maximum)
{
    const double number = value.toDouble();
    if (!value.isDouble() || std::floor(number) != number || number < double(minimum)
        || number > double(maximum))
        return std::nullopt;
    return static_cast<qint64>(number);
}

// Why an object holds a key this format does not know; nothing when it
// holds none.
std::optional<QString> unknownKey(const QJsonObject& object, const QStringList& known, const QString& where)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key())) {
            if (where.isEmpty())
                return QStringLiteral("Unknown field \"%1\".").arg(it.key());
            return QStringLiteral("Unknown field \"%1\" in \"%2\".").arg(it.key(), where);
        }
    }
    return std::nullopt;
}

// The texts the window could not send, or could not hold in its boxes.
std::optional<QString> checkTexts(const RequestTexts& texts)
{
    for (const TextKey& entry : kTextKeys) {
        const QString& text = texts.*entry.member;
        if (entry.maxChars > 0 && text.size() > entry.maxChars) {
            return QStringLiteral("%1: %2 has more than %3 characters.")
                .arg(QLatin1String(entry.label), quoted(text), QString::number(entry.maxChars));
        }
    }
    return checkRequestTexts(texts);
}

std::optional<QString> readTexts(const QJsonValue& value, RequestFile& file)
{
    if (value.isUndefined())
        return std::nullopt;
    if (!value.isObject())
        return QStringLiteral("\"%1\" holds %2, not an object.").arg(kRequestKey, kindOf(value));
    const QJsonObject object = value.toObject();
    QStringList known;
    for (const TextKey& entry : kTextKeys) {
        const QString key = QLatin1String(entry.key);
        known << key;
        const QJsonValue text = object.value(key);
        if (text.isUndefined())
            continue;
        if (!text.isString())
            return wrongType(entry.label, key, text, "a text in quotes");
        file.texts.*entry.member = text.toString();
        file.hasText[static_cast<size_t>(entry.field)] = true;
    }
    if (auto unknown = unknownKey(object, known, kRequestKey))
        return unknown;
    return checkTexts(file.texts);
}

std::optional<QString> readConnection(const QJsonValue& value, RequestFile& file)
{
    if (value.isUndefined())
        return std::nullopt;
    if (!value.isObject())
        return QStringLiteral("\"%1\" holds %2, not an object.").arg(kConnectionKey, kindOf(value));
    const QJsonObject object = value.toObject();
    if (auto unknown = unknownKey(object, {kProtocolKey, kHostKey, kPortKey, kTimeoutKey}, kConnectionKey))
        return unknown;

    if (const QJsonValue protocol = object.value(kProtocolKey); !protocol.isUndefined()) {
        if (!protocol.isString())
            return wrongType("Protocol", kProtocolKey, protocol, "\"tcp\" or \"udp\"");
        const QString name = protocol.toString().toLower();
        if (name == QLatin1String("tcp"))
            file.protocol = RequestProtocol::Tcp;
        else if (name == QLatin1String("udp"))
            file.protocol = RequestProtocol::Udp;
        else
            return QStringLiteral("Protocol: \"%1\" is neither \"tcp\" nor \"udp\".")
                .arg(protocol.toString());
    }
    if (const QJsonValue host = object.value(kHostKey); !host.isUndefined()) {
        if (!host.isString())
            return wrongType("Address", kHostKey, host, "a text in quotes");
        file.host = host.toString();
    }
    if (const QJsonValue port = object.value(kPortKey); !port.isUndefined()) {
        if (!port.isDouble())
            return wrongType("Port", kPortKey, port, "a number");
        const auto number = wholeNumber(port, 1, 65535);
        if (!number)
            return QStringLiteral("Port: %1 is not a whole number from 1 to 65535.")
                .arg(numberText(port.toDouble()));
        file.port = static_cast<quint16>(*number);
    }
    if (const QJsonValue timeout = object.value(kTimeoutKey); !timeout.isUndefined()) {
        if (!timeout.isDouble())
            return wrongType("Reply timeout", kTimeoutKey, timeout, "a number of milliseconds");
        const auto number = wholeNumber(timeout, kMinReplyTimeoutMs, kMaxReplyTimeoutMs);
        if (!number) {
            return QStringLiteral("Reply timeout: %1 is not a whole number of milliseconds from %2 to %3.")
                .arg(numberText(timeout.toDouble()), QString::number(kMinReplyTimeoutMs),
                     QString::number(kMaxReplyTimeoutMs));
        }
        file.replyTimeoutMs = static_cast<int>(*number);
    }
    return std::nullopt;
}

RequestFileRead refusal(const QString& error)
{
    return {std::nullopt, error};
}

// "What failed: why." with the system's reason, which ends in a full stop
// of its own on Windows ("File not found.") and in none on Linux.
QString fileRefusal(const char* what, QString reason)
{
    while (reason.endsWith(u'.'))
        reason.chop(1);
    return QStringLiteral("%1: %2.").arg(QLatin1String(what), reason);
}

} // namespace

bool operator==(const RequestSetup& a, const RequestSetup& b)
{
    for (const TextKey& entry : kTextKeys) {
        if (a.texts.*entry.member != b.texts.*entry.member)
            return false;
    }
    return a.host == b.host && a.protocol == b.protocol;
}

RequestFileRead readRequestFile(const QByteArray& bytes)
{
    if (bytes.trimmed().isEmpty())
        return refusal(QStringLiteral("Not a request file: it is empty."));
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return refusal(QStringLiteral("Not a request file: it is not JSON (%1 at character %2).")
                           .arg(parseError.errorString(), QString::number(parseError.offset)));
    }
    if (!document.isObject())
        return refusal(QStringLiteral("Not a request file: it holds no JSON object."));
    const QJsonObject top = document.object();
    if (top.value(QLatin1String("format")).toString() != QLatin1String(kFormatName))
        return refusal(QStringLiteral("Not a request file: it has no \"format\": \"%1\".").arg(kFormatName));

    const QJsonValue version = top.value(QLatin1String("version"));
    if (version.isUndefined())
        return refusal(QStringLiteral("Not a request file: it has no format version."));
    const auto number = wholeNumber(version, 1, std::numeric_limits<int>::max());
    if (!number) {
        return refusal(version.isDouble()
                           ? QStringLiteral("Format version: %1 is not a whole number from 1.")
                                 .arg(numberText(version.toDouble()))
                           : wrongType("Format version", QStringLiteral("version"), version, "a number"));
    }
    if (*number > kRequestFileVersion) {
        return refusal(QStringLiteral("Format version %1 is newer than this program reads (%2); "
                                      "open the file with a newer one.")
                           .arg(QString::number(*number), QString::number(kRequestFileVersion)));
    }
    if (auto unknown = unknownKey(top, {"format", "version", kRequestKey, kConnectionKey}, QString()))
        return refusal(*unknown);

    RequestFile file;
    file.texts = defaultRequestTexts();
    if (auto error = readTexts(top.value(kRequestKey), file))
        return refusal(*error);
    if (auto error = readConnection(top.value(kConnectionKey), file))
        return refusal(*error);
    return {file, QString()};
}

QByteArray writeRequestFile(const RequestFile& file)
{
    QJsonObject texts;
    for (const TextKey& entry : kTextKeys)
        texts.insert(QLatin1String(entry.key), file.texts.*entry.member);
    QJsonObject connection;
    if (file.protocol) {
        connection.insert(kProtocolKey,
                          *file.protocol == RequestProtocol::Udp ? QStringLiteral("udp")
                                                                 : QStringLiteral("tcp"));
    }
    if (file.host)
        connection.insert(kHostKey, *file.host);
    if (file.port)
        connection.insert(kPortKey, int{*file.port});
    if (file.replyTimeoutMs)
        connection.insert(kTimeoutKey, *file.replyTimeoutMs);

    QJsonObject top{{QStringLiteral("format"), QLatin1String(kFormatName)},
                    {QStringLiteral("version"), kRequestFileVersion},
                    {kRequestKey, texts}};
    if (!connection.isEmpty())
        top.insert(kConnectionKey, connection);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

RequestFileRead loadRequestFile(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return refusal(fileRefusal("Cannot read the file", in.errorString()));
    const QByteArray bytes = in.read(kMaxFileBytes + 1);
    if (in.error() != QFileDevice::NoError)
        return refusal(fileRefusal("Cannot read the file", in.errorString()));
    if (bytes.size() > kMaxFileBytes)
        return refusal(QStringLiteral("Not a request file: it is larger than %1 bytes.").arg(kMaxFileBytes));
    return readRequestFile(bytes);
}

std::optional<QString> saveRequestFile(const QString& path, const RequestFile& file)
{
    // A file that could not be opened again is no use, and must not replace
    // one that can.
    if (auto error = checkTexts(file.texts))
        return error;
    QSaveFile out(path);
    // Unbuffered, so that a short write shows here: buffered, a disk that
    // fills up part way is flushed at commit as if all had been written.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fileRefusal("Cannot write the file", out.errorString());
    const QByteArray bytes = writeRequestFile(file);
    for (qint64 done = 0; done < bytes.size();) {
        // The write after a short one fails, and says why.
        const qint64 written = out.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            const QString reason = out.errorString();
            out.cancelWriting();
            return fileRefusal("Cannot write the file", reason);
        }
        done += written;
    }
    if (!out.commit())
        return fileRefusal("Cannot write the file", out.errorString());
    return std::nullopt;
}
