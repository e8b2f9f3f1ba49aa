#include "engine/engineprotocol.h"

#include <QBuffer>
#include <QCborStreamWriter>

#include <QCborArray>
#include <QCborValue>

#include <algorithm>
#include <QtEndian>

namespace engine {

namespace {

QString key(const char *k)
{
    return QString::fromLatin1(k);
}

// An enumeration read from a peer: a value out of range becomes the fallback.
template<typename E>
E enumFrom(const QCborValue &v, E last, E fallback)
{
    const qint64 n = v.toInteger(-1);
    return n >= 0 && n <= qint64(last) ? E(n) : fallback;
}

QCborArray diagnosticsToCbor(const QList<Diagnostic> &diagnostics)
{
    QCborArray out;
    for (const Diagnostic &d : diagnostics) {
        QCborMap entry;
        entry.insert(key("severity"), int(d.severity));
        entry.insert(key("origin"), int(d.origin));
        entry.insert(key("message"), d.message);
        entry.insert(key("file"), d.file);
        entry.insert(key("line"), d.line);
        entry.insert(key("column"), d.column);
        out.append(entry);
    }
    return out;
}

QList<Diagnostic> diagnosticsFromCbor(const QCborValue &value)
{
    QList<Diagnostic> out;
    for (const QCborValue &v : value.toArray()) {
        const QCborMap entry = v.toMap();
        Diagnostic d;
        d.severity = enumFrom(entry.value(key("severity")), Diagnostic::Severity::Information, Diagnostic::Severity::Error);
        d.origin = enumFrom(entry.value(key("origin")), Diagnostic::Origin::Validation, Diagnostic::Origin::WellFormedness);
        d.message = entry.value(key("message")).toString();
        d.file = entry.value(key("file")).toString();
        d.line = int(entry.value(key("line")).toInteger());
        d.column = int(entry.value(key("column")).toInteger());
        out << d;
    }
    return out;
}

QCborArray pairsToCbor(const QList<QPair<QString, QString>> &pairs)
{
    QCborArray out;
    for (const auto &[a, b] : pairs)
        out.append(QCborArray{a, b});
    return out;
}

QList<QPair<QString, QString>> pairsFromCbor(const QCborValue &value)
{
    QList<QPair<QString, QString>> out;
    for (const QCborValue &v : value.toArray()) {
        const QCborArray a = v.toArray();
        out.append({a.at(0).toString(), a.at(1).toString()});
    }
    return out;
}

QCborMap xpathResultToCbor(const xpatheval::Result &r)
{
    QCborMap m;
    m.insert(key("ok"), r.ok);
    m.insert(key("error"), r.error);
    m.insert(key("errorColumn"), r.errorColumn);
    m.insert(key("total"), r.total);
    m.insert(key("type"), int(r.type));
    m.insert(key("value"), r.value);
    m.insert(key("valueLength"), qint64(r.valueLength));
    if (!r.valueType.isEmpty())
        m.insert(key("valueType"), r.valueType);
    QCborArray nodes;
    for (const xpatheval::Row &row : r.nodes)
        nodes.append(row.type.isEmpty() ? QCborArray{int(row.kind), row.line, row.column, row.length, row.text}
                                        : QCborArray{int(row.kind), row.line, row.column, row.length, row.text, row.type});
    m.insert(key("nodes"), nodes);
    return m;
}

xpatheval::Result xpathResultFromCbor(const QCborMap &m)
{
    using xpatheval::Result;
    using xpatheval::Row;
    Result r;
    r.ok = m.value(key("ok")).toBool();
    r.error = m.value(key("error")).toString();
    r.errorColumn = int(m.value(key("errorColumn")).toInteger());
    r.total = int(m.value(key("total")).toInteger());
    r.type = enumFrom(m.value(key("type")), Result::Type::Sequence, Result::Type::NodeSet);
    r.valueType = m.value(key("valueType")).toString();
    r.value = m.value(key("value")).toString();
    r.valueLength = m.value(key("valueLength")).toInteger(r.value.size());
    for (const QCborValue &v : m.value(key("nodes")).toArray()) {
        const QCborArray a = v.toArray();
        Row row;
        row.kind = enumFrom(a.at(0), Row::Kind::Item, Row::Kind::Element);
        row.line = int(a.at(1).toInteger());
        row.column = int(a.at(2).toInteger());
        row.length = int(a.at(3).toInteger());
        row.text = a.at(4).toString();
        row.type = a.at(5).toString();
        r.nodes << row;
    }
    return r;
}

} // namespace

QByteArray frame(const QCborMap &message)
{
    // Written behind its length in one buffer: a request with a 50 MB text is not copied once
    // more to put four bytes in front of it.
    QByteArray out(4, Qt::Uninitialized);
    {
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly | QIODevice::Append);
        QCborStreamWriter writer(&buffer);
        message.toCborValue().toCbor(writer);
    }
    qToBigEndian<quint32>(quint32(out.size() - 4), out.data());
    return out;
}

bool takeFrames(QByteArray &buffer, QList<QCborMap> *messages, QString *error)
{
    qsizetype at = 0;
    bool ok = true;
    while (buffer.size() - at >= 4) {
        const qsizetype length = qFromBigEndian<quint32>(buffer.constData() + at);
        if (length > kMaxFrameBytes) {
            *error = QStringLiteral("a message of %1 bytes is larger than the engine accepts").arg(length);
            ok = false;
            break;
        }
        if (buffer.size() - at - 4 < length)
            break;
        QCborParserError parseError;
        const QCborValue value = QCborValue::fromCbor(buffer.mid(at + 4, length), &parseError);
        if (parseError.error != QCborError::NoError || !value.isMap()) {
            *error = QStringLiteral("a message could not be read (%1)").arg(parseError.errorString());
            ok = false;
            break;
        }
        messages->append(value.toMap());
        at += 4 + length;
    }
    buffer.remove(0, at);
    return ok;
}

QCborMap Request::toCbor() const
{
    QCborMap m;
    m.insert(key("id"), id);
    m.insert(key("window"), window);
    m.insert(key("generation"), generation);
    m.insert(key("kind"), int(kind));
    switch (kind) {
    case Kind::Transform: {
        m.insert(key("target"), int(target));
        m.insert(key("stylesheet"), input.stylesheet);
        m.insert(key("stylesheetBase"), input.stylesheetBase);
        m.insert(key("source"), input.source);
        m.insert(key("sourceBase"), input.sourceBase);
        QCborArray parameters;
        for (const params::Value &p : input.parameters)
            parameters.append(QCborArray{p.name, p.value, p.xpath});
        m.insert(key("parameters"), parameters);
        if (input.trace)
            m.insert(key("trace"), input.trace);
        break;
    }
    case Kind::XPath:
        if (xpath.hasSource)
            m.insert(key("source"), xpath.source);
        m.insert(key("sourceKey"), xpath.sourceKey);
        m.insert(key("sourceBase"), xpath.sourceBase);
        m.insert(key("namespaces"), pairsToCbor(xpath.namespaces));
        m.insert(key("expression"), xpath.expression);
        m.insert(key("maxRows"), xpath.maxRows);
        m.insert(key("maxValueChars"), qint64(xpath.maxValueChars));
        break;
    case Kind::Validate:
        m.insert(key("source"), validate.source);
        m.insert(key("sourceBase"), validate.sourceBase);
        m.insert(key("schema"), int(validate.schema));
        m.insert(key("schemaPath"), validate.schemaPath);
        break;
    case Kind::Format:
        m.insert(key("text"), format.text);
        m.insert(key("indentWidth"), format.indentWidth);
        m.insert(key("fragment"), format.fragment);
        m.insert(key("baseIndent"), format.baseIndent);
        break;
    }
    return m;
}

Request Request::fromCbor(const QCborMap &m)
{
    Request r;
    r.id = m.value(key("id")).toInteger();
    r.window = m.value(key("window")).toInteger();
    r.generation = m.value(key("generation")).toInteger();
    r.kind = enumFrom(m.value(key("kind")), Kind::Format, Kind::Transform);
    switch (r.kind) {
    case Kind::Transform:
        r.target = enumFrom(m.value(key("target")), preview::Target::Check, preview::Target::Tab);
        r.input.stylesheet = m.value(key("stylesheet")).toByteArray();
        r.input.stylesheetBase = m.value(key("stylesheetBase")).toString();
        r.input.source = m.value(key("source")).toByteArray();
        r.input.sourceBase = m.value(key("sourceBase")).toString();
        for (const QCborValue &p : m.value(key("parameters")).toArray()) {
            const QCborArray a = p.toArray();
            r.input.parameters.append({a.at(0).toString(), a.at(1).toString(), a.at(2).toBool()});
        }
        r.input.trace = int(m.value(key("trace")).toInteger()) & (tracing::Map | tracing::Trace | tracing::Profile);
        break;
    case Kind::XPath:
        r.xpath.hasSource = m.contains(key("source"));
        r.xpath.source = m.value(key("source")).toByteArray();
        r.xpath.sourceKey = m.value(key("sourceKey")).toInteger();
        r.xpath.sourceBase = m.value(key("sourceBase")).toString();
        r.xpath.namespaces = pairsFromCbor(m.value(key("namespaces")));
        r.xpath.expression = m.value(key("expression")).toString();
        r.xpath.maxRows = int(std::clamp<qint64>(m.value(key("maxRows")).toInteger(1000), 0, 1000000));
        r.xpath.maxValueChars = std::max<qint64>(0, m.value(key("maxValueChars")).toInteger(r.xpath.maxValueChars));
        break;
    case Kind::Validate:
        r.validate.source = m.value(key("source")).toByteArray();
        r.validate.sourceBase = m.value(key("sourceBase")).toString();
        r.validate.schema = enumFrom(m.value(key("schema")), validator::Schema::RelaxNg, validator::Schema::Dtd);
        r.validate.schemaPath = m.value(key("schemaPath")).toString();
        break;
    case Kind::Format:
        r.format.text = m.value(key("text")).toString();
        r.format.indentWidth = int(m.value(key("indentWidth")).toInteger(2));
        r.format.fragment = m.value(key("fragment")).toBool();
        r.format.baseIndent = m.value(key("baseIndent")).toString();
        break;
    }
    return r;
}

QCborMap Response::toCbor() const
{
    QCborMap m;
    m.insert(key("id"), id);
    m.insert(key("window"), window);
    m.insert(key("generation"), generation);
    m.insert(key("kind"), int(kind));
    if (error != ErrorKind::None) {
        m.insert(key("errorKind"), int(error));
        m.insert(key("errorText"), errorText);
    }
    if (!engine.isEmpty())
        m.insert(key("engine"), engine);
    switch (kind) {
    case Kind::Transform:
        m.insert(key("ok"), result.ok);
        m.insert(key("page"), result.page);
        m.insert(key("method"), result.method);
        m.insert(key("encoding"), result.encoding);
        m.insert(key("text"), result.text);
        m.insert(key("diagnostics"), diagnosticsToCbor(result.diagnostics));
        if (result.trace)
            m.insert(key("trace"), result.trace->toCbor());
        break;
    case Kind::XPath:
        m.insert(key("xpath"), xpathResultToCbor(xpath));
        m.insert(key("needSource"), needSource);
        break;
    case Kind::Validate:
        m.insert(key("valid"), validation.valid);
        m.insert(key("error"), validation.error);
        m.insert(key("diagnostics"), diagnosticsToCbor(validation.problems));
        break;
    case Kind::Format:
        m.insert(key("ok"), format.ok);
        m.insert(key("text"), format.text);
        m.insert(key("error"), format.error);
        m.insert(key("line"), format.line);
        m.insert(key("column"), format.column);
        break;
    }
    return m;
}

Response Response::fromCbor(const QCborMap &m)
{
    Response r;
    r.id = m.value(key("id")).toInteger();
    r.window = m.value(key("window")).toInteger();
    r.generation = m.value(key("generation")).toInteger();
    r.kind = enumFrom(m.value(key("kind")), Kind::Format, Kind::Transform);
    r.error = enumFrom(m.value(key("errorKind")), ErrorKind::Superseded, ErrorKind::None);
    r.errorText = m.value(key("errorText")).toString();
    r.engine = m.value(key("engine")).toString();
    switch (r.kind) {
    case Kind::Transform:
        r.result.ok = m.value(key("ok")).toBool();
        r.result.page = m.value(key("page")).toByteArray();
        r.result.method = m.value(key("method")).toString();
        r.result.encoding = m.value(key("encoding")).toByteArray();
        r.result.error = r.error;
        r.result.text = m.value(key("text")).toString();
        r.result.diagnostics = diagnosticsFromCbor(m.value(key("diagnostics")));
        r.result.traceData = m.value(key("trace")).toMap();
        break;
    case Kind::XPath:
        r.xpath = xpathResultFromCbor(m.value(key("xpath")).toMap());
        r.needSource = m.value(key("needSource")).toBool();
        break;
    case Kind::Validate:
        r.validation.valid = m.value(key("valid")).toBool();
        r.validation.error = m.value(key("error")).toString();
        r.validation.problems = diagnosticsFromCbor(m.value(key("diagnostics")));
        break;
    case Kind::Format:
        r.format.ok = m.value(key("ok")).toBool();
        r.format.text = m.value(key("text")).toString();
        r.format.error = m.value(key("error")).toString();
        r.format.line = int(m.value(key("line")).toInteger());
        r.format.column = int(m.value(key("column")).toInteger());
        break;
    }
    return r;
}

QString errorMessage(Kind kind, ErrorKind error, const QString &detail)
{
    // The work, as it opens a sentence.
    const QString work = kind == Kind::Transform ? QStringLiteral("The transformation")
                         : kind == Kind::XPath   ? QStringLiteral("The evaluation")
                         : kind == Kind::Validate ? QStringLiteral("The validation")
                                                  : QStringLiteral("Formatting");
    switch (error) {
    case ErrorKind::Stopped:
        return kind == Kind::Transform ? QStringLiteral("Transformation stopped")
               : kind == Kind::XPath   ? QStringLiteral("Evaluation stopped")
               : kind == Kind::Validate ? QStringLiteral("Validation stopped")
                                        : QStringLiteral("Formatting stopped");
    case ErrorKind::TimedOut:
        return QStringLiteral("%1 took longer than %2 seconds and was stopped.").arg(work, detail);
    case ErrorKind::Crashed:
        return kind == Kind::Transform
                   ? QStringLiteral("The transformation stopped the engine (%1). Your documents are not affected; "
                                    "the engine starts again with the next preview.").arg(detail)
                   : QStringLiteral("%1 stopped the engine (%2). Your documents are not affected.").arg(work, detail);
    case ErrorKind::OutOfMemory:
        return QStringLiteral("%1 needed more than %2 MB.\n").arg(work, detail);
    case ErrorKind::Unavailable:
        return QStringLiteral("The transformation engine \"%1\" could not be started. Reinstall Zendrik.").arg(detail);
    case ErrorKind::Unreadable:
        return QStringLiteral("The transformation engine sent an answer that could not be read: %1.").arg(detail);
    case ErrorKind::Incompatible:
        return QStringLiteral("The transformation engine \"%1\" belongs to another version of Zendrik. Reinstall Zendrik.").arg(detail);
    default:
        return QString();
    }
}

Response Response::failed(const Request &request, ErrorKind error, const QString &text)
{
    Response r;
    r.id = request.id;
    r.window = request.window;
    r.generation = request.generation;
    r.kind = request.kind;
    r.error = error;
    r.errorText = text;
    if (request.kind == Kind::Transform) {
        r.result.error = error;
        r.result.text = text;
    }
    return r;
}

QCborMap helloMessage(int version)
{
    QCborMap m;
    m.insert(key("hello"), version);
    return m;
}

int helloVersion(const QCborMap &message)
{
    const QCborValue v = message.value(key("hello"));
    return v.isInteger() ? int(std::clamp<qint64>(v.toInteger(), 0, 1 << 20)) : -1;
}

QString channelName(Channel channel)
{
    switch (channel) {
    case Channel::Tab:
        return QStringLiteral("tab");
    case Channel::Browser:
        return QStringLiteral("browser");
    case Channel::Live:
        return QStringLiteral("live");
    case Channel::Check:
        return QStringLiteral("check");
    case Channel::Validate:
        return QStringLiteral("validate");
    case Channel::Format:
        return QStringLiteral("format");
    case Channel::XPath:
        return QStringLiteral("xpath");
    }
    return QString();
}

QCborMap noticeMessage(Notice notice)
{
    QCborMap m;
    m.insert(key("notice"), int(notice));
    return m;
}

Notice noticeOf(const QCborMap &message)
{
    const QCborValue v = message.value(key("notice"));
    return v.isInteger() ? enumFrom(v, Notice::OutOfMemory, Notice::None) : Notice::None;
}

QCborMap interruptMessage(qint64 requestId)
{
    QCborMap m;
    m.insert(key("interrupt"), requestId);
    return m;
}

qint64 interruptOf(const QCborMap &message)
{
    const QCborValue v = message.value(key("interrupt"));
    return v.isInteger() && v.toInteger() > 0 ? v.toInteger() : 0;
}

} // namespace engine
