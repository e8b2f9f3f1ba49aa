#include "engine/saxonhelper.h"

#include <QDir>
#include <QRegularExpression>
#include <QFileInfo>
#include <QStandardPaths>

namespace saxon {

QString saxonJar()
{
    const QString configured = qEnvironmentVariable("ZENDRIK_SAXON_JAR");
    return configured.isEmpty() ? QStringLiteral("/usr/share/java/Saxon-HE.jar") : configured;
}

QString helperJar(const QString &programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("zendrik-saxon.jar"));
}

QString javaProgram()
{
    const QString home = qEnvironmentVariable("JAVA_HOME");
    if (!home.isEmpty() && QFileInfo(home + QStringLiteral("/bin/java")).isExecutable())
        return home + QStringLiteral("/bin/java");
    return QStandardPaths::findExecutable(QStringLiteral("java"));
}

bool available(const QString &programFolder, QString *missing)
{
    QStringList absent;
    if (javaProgram().isEmpty())
        absent << QStringLiteral("a Java runtime");
    if (!QFileInfo(saxonJar()).isReadable())
        absent << QStringLiteral("Saxon-HE (%1)").arg(saxonJar());
    if (!QFileInfo(helperJar(programFolder)).isReadable())
        absent << QStringLiteral("Zendrik's Saxon helper (%1)").arg(helperJar(programFolder));
    if (missing)
        *missing = absent.join(QStringLiteral(", "));
    return absent.isEmpty();
}

QStringList arguments(const QString &programFolder, qint64 heapMb)
{
    QStringList args;
    if (heapMb > 0)
        args << QStringLiteral("-Xmx%1m").arg(heapMb);
    // One collector thread and a heap given back when idle: the helper lives beside an editor.
    args << QStringLiteral("-XX:+UseSerialGC") << QStringLiteral("-Xshare:auto") << QStringLiteral("-Djava.awt.headless=true");
    // The VM's own warnings go to its standard output unless told otherwise, which is where
    // the exchange runs.
    args << QStringLiteral("-Xlog:disable") << QStringLiteral("-Xlog:all=warning:stderr");
    // Its classes from the archive made when it was built or installed (a third of its start).
    const QFileInfo archive(QDir(programFolder).filePath(QStringLiteral("zendrik-saxon.jsa")));
    if (archive.isFile() && archive.size() > 0)
        args << QStringLiteral("-XX:SharedArchiveFile=") + archive.filePath();
    args << QStringLiteral("-cp") << helperJar(programFolder) + QLatin1Char(':') + saxonJar();
    args << QStringLiteral("ZendrikSaxon");
    return args;
}

double xsltVersion(const QByteArray &stylesheet)
{
    // The root element's start tag: after the declaration, comments, processing instructions
    // and a DOCTYPE, near the top.
    const QString head = QString::fromUtf8(stylesheet.left(64 * 1024));
    qsizetype at = 0;
    for (;;) {
        at = head.indexOf(QLatin1Char('<'), at);
        if (at < 0 || at + 1 >= head.size())
            return 1.0;
        const QChar next = head.at(at + 1);
        if (next == QLatin1Char('?') || next == QLatin1Char('!')) {
            const bool comment = head.mid(at, 4) == QLatin1String("<!--");
            const qsizetype end = comment ? head.indexOf(QLatin1String("-->"), at) : head.indexOf(QLatin1Char('>'), at);
            if (end < 0)
                return 1.0;
            at = end + 1;
            continue;
        }
        break;
    }
    const qsizetype end = head.indexOf(QLatin1Char('>'), at);
    const QString tag = head.mid(at, end < 0 ? -1 : end - at);
    static const QRegularExpression root(QStringLiteral("^<([\\w.-]+:)?(stylesheet|transform)[\\s/>]"));
    static const QRegularExpression version(QStringLiteral("\\sversion\\s*=\\s*[\"']\\s*([0-9]+(\\.[0-9]+)?)\\s*[\"']"));
    static const QRegularExpression literal(QStringLiteral("\\s[\\w.-]+:version\\s*=\\s*[\"']\\s*([0-9]+(\\.[0-9]+)?)\\s*[\"']"));
    const QRegularExpressionMatch m = (root.match(tag).hasMatch() ? version : literal).match(tag);
    bool ok = false;
    const double v = m.hasMatch() ? m.captured(1).toDouble(&ok) : 1.0;
    return ok ? v : 1.0;
}

} // namespace saxon
