#include "engine/engineprotocol.h"

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
} // namespace

QByteArray frame(const QCborMap &message)
{
    const QByteArray payload = message.toCborValue().toCbor();
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(payload.size()), out.data());
    return out + payload;
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
    m.insert(key("target"), target == preview::Target::Tab ? key("tab") : target == preview::Target::Check ? key("check") : key("browser"));
    m.insert(key("stylesheet"), input.stylesheet);
    m.insert(key("stylesheetBase"), input.stylesheetBase);
    m.insert(key("source"), input.source);
    m.insert(key("sourceBase"), input.sourceBase);
    QCborArray parameters;
    for (const params::Value &p : input.parameters)
        parameters.append(QCborArray{p.name, p.value, p.xpath});
    m.insert(key("parameters"), parameters);
    return m;
}

Request Request::fromCbor(const QCborMap &m)
{
    Request r;
    r.id = m.value(key("id")).toInteger();
    r.window = m.value(key("window")).toInteger();
    r.generation = m.value(key("generation")).toInteger();
    const QString target = m.value(key("target")).toString();
    r.target = target == QLatin1String("tab")     ? preview::Target::Tab
               : target == QLatin1String("check") ? preview::Target::Check
                                                  : preview::Target::Browser;
    r.input.stylesheet = m.value(key("stylesheet")).toByteArray();
    r.input.stylesheetBase = m.value(key("stylesheetBase")).toString();
    r.input.source = m.value(key("source")).toByteArray();
    r.input.sourceBase = m.value(key("sourceBase")).toString();
    for (const QCborValue &p : m.value(key("parameters")).toArray()) {
        const QCborArray a = p.toArray();
        r.input.parameters.append({a.at(0).toString(), a.at(1).toString(), a.at(2).toBool()});
    }
    return r;
}

QCborMap Response::toCbor() const
{
    QCborMap m;
    m.insert(key("id"), id);
    m.insert(key("window"), window);
    m.insert(key("generation"), generation);
    m.insert(key("ok"), result.ok);
    m.insert(key("page"), result.page);
    m.insert(key("method"), result.method);
    m.insert(key("encoding"), result.encoding);
    m.insert(key("title"), result.title);
    m.insert(key("text"), result.text);
    QCborArray diagnostics;
    for (const Diagnostic &d : result.diagnostics) {
        QCborMap entry;
        entry.insert(key("severity"), int(d.severity));
        entry.insert(key("origin"), int(d.origin));
        entry.insert(key("message"), d.message);
        entry.insert(key("file"), d.file);
        entry.insert(key("line"), d.line);
        entry.insert(key("column"), d.column);
        diagnostics.append(entry);
    }
    m.insert(key("diagnostics"), diagnostics);
    return m;
}

Response Response::fromCbor(const QCborMap &m)
{
    Response r;
    r.id = m.value(key("id")).toInteger();
    r.window = m.value(key("window")).toInteger();
    r.generation = m.value(key("generation")).toInteger();
    r.result.ok = m.value(key("ok")).toBool();
    r.result.page = m.value(key("page")).toByteArray();
    r.result.method = m.value(key("method")).toString();
    r.result.encoding = m.value(key("encoding")).toByteArray();
    r.result.title = m.value(key("title")).toString();
    r.result.text = m.value(key("text")).toString();
    for (const QCborValue &v : m.value(key("diagnostics")).toArray()) {
        const QCborMap entry = v.toMap();
        Diagnostic d;
        d.severity = Diagnostic::Severity(std::clamp<int>(int(entry.value(key("severity")).toInteger()), 0, 2));
        d.origin = Diagnostic::Origin(std::clamp<int>(int(entry.value(key("origin")).toInteger()), 0, int(Diagnostic::Origin::Validation)));
        d.message = entry.value(key("message")).toString();
        d.file = entry.value(key("file")).toString();
        d.line = int(entry.value(key("line")).toInteger());
        d.column = int(entry.value(key("column")).toInteger());
        r.result.diagnostics << d;
    }
    return r;
}

Response handle(const Request &request)
{
    Response response;
    response.id = request.id;
    response.window = request.window;
    response.generation = request.generation;
    response.result = preview::build(request.input, request.target);
    return response;
}

} // namespace engine
