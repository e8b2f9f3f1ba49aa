#include "engine/saxonhelper.h"

#include <QDir>
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
    args << QStringLiteral("-cp") << helperJar(programFolder) + QLatin1Char(':') + saxonJar();
    args << QStringLiteral("ZendrikSaxon");
    return args;
}

} // namespace saxon
