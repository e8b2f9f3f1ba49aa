#include "engine/stylesheetparams.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>
#include <QXmlStreamReader>

namespace params {

namespace {

const QString kXslt = QStringLiteral("http://www.w3.org/1999/XSL/Transform");

// The local file a reference in a stylesheet at base names, or empty when it is not local.
QString localTarget(const QString &base, const QString &href)
{
    const QUrl ref(href);
    if (ref.isRelative()) {
        const QUrl baseUrl = base.contains(QLatin1String("://")) ? QUrl(base) : QUrl::fromLocalFile(base);
        const QUrl resolved = baseUrl.resolved(ref);
        return resolved.isLocalFile() ? QDir::cleanPath(resolved.toLocalFile()) : QString();
    }
    return ref.isLocalFile() ? QDir::cleanPath(ref.toLocalFile()) : QString();
}

QString oneLine(QString text)
{
    text = text.simplified();
    if (text.size() > 120)
        text = text.left(119) + QChar(0x2026);
    return text;
}

// Reads the top level of one stylesheet: its parameters into found, the local files it
// includes or imports into next.
void readTopLevel(const QByteArray &bytes, const QString &file, QList<Declared> &found, QSet<QString> &names,
                  QStringList &next)
{
    // Read from text, so that offsets index it: a default given as content is shown as written.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);
    QXmlStreamReader xml(text);
    int depth = 0;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        ++depth;
        if (depth != 2 || xml.namespaceUri() != kXslt)
            continue;
        const QStringView local = xml.name();
        if (local == QLatin1String("include") || local == QLatin1String("import")) {
            const QString target = localTarget(file, xml.attributes().value(QLatin1String("href")).toString());
            if (!target.isEmpty())
                next << target;
        } else if (local == QLatin1String("param")) {
            const QString name = xml.attributes().value(QLatin1String("name")).toString().trimmed();
            QString defaultText = xml.attributes().value(QLatin1String("select")).toString();
            const bool hasSelect = xml.attributes().hasAttribute(QLatin1String("select"));
            const qint64 start = xml.characterOffset();
            xml.skipCurrentElement();
            if (!hasSelect) {
                const qint64 end = text.lastIndexOf(QLatin1Char('<'), xml.characterOffset() - 1);
                defaultText = end > start ? text.mid(start, end - start) : QString();
            }
            --depth;
            if (!name.isEmpty() && !names.contains(name)) {
                names.insert(name);
                found.append({name, oneLine(defaultText), file});
            }
        } else {
            xml.skipCurrentElement();
            --depth;
        }
    }
}

} // namespace

QList<Declared> declaredIn(const QByteArray &stylesheetUtf8, const QString &base, int maxFiles)
{
    QList<Declared> found;
    QSet<QString> names;
    QStringList queue;
    readTopLevel(stylesheetUtf8, base, found, names, queue);
    QSet<QString> seen;
    if (QFileInfo(base).isFile())
        seen.insert(QDir::cleanPath(QFileInfo(base).absoluteFilePath()));
    int read = 0;
    // Breadth first: the nearer stylesheet's declaration is the one that counts.
    while (!queue.isEmpty() && read < maxFiles) {
        const QString file = queue.takeFirst();
        if (seen.contains(file))
            continue;
        seen.insert(file);
        QFile f(file);
        // Regular files only: a device or a pipe would never end.
        if (!QFileInfo(file).isFile() || !f.open(QIODevice::ReadOnly))
            continue;
        ++read;
        QStringList next;
        readTopLevel(f.readAll(), file, found, names, next);
        queue << next;
    }
    return found;
}

QString toText(const QList<Value> &values)
{
    QJsonArray list;
    for (const Value &v : values)
        list.append(QJsonObject{{QStringLiteral("name"), v.name}, {QStringLiteral("value"), v.value},
                                {QStringLiteral("xpath"), v.xpath}});
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

QList<Value> fromText(const QString &text)
{
    QList<Value> values;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    for (const QJsonValue &item : doc.array()) {
        const QJsonObject o = item.toObject();
        const QString name = o.value(QStringLiteral("name")).toString().trimmed();
        if (!name.isEmpty())
            values.append({name, o.value(QStringLiteral("value")).toString(), o.value(QStringLiteral("xpath")).toBool()});
    }
    return values;
}

} // namespace params
