#pragma once

#include <QString>
#include <QStringList>

// The XSLT 2.0/3.0 helper: zendrik-saxon.jar beside the program, a Java program of ours on
// Saxon-HE that speaks the same exchange as zendrik-engine. One runs for the whole program.
namespace saxon {

// What to install when the helper cannot run, for the hint the user is given.
inline constexpr const char *kPackages = "default-jre-headless libsaxonhe-java";

// Saxon-HE's own jar: $ZENDRIK_SAXON_JAR, or where Debian installs it.
QString saxonJar();
// Our helper's jar in the program's folder.
QString helperJar(const QString &programFolder);
// The Java runtime: $JAVA_HOME/bin/java, or java on the PATH; empty when there is none.
QString javaProgram();
// Whether the helper can run; otherwise missing names what is not there.
bool available(const QString &programFolder, QString *missing = nullptr);
// The command line after the Java program: the heap capped at heapMb (the address space is not
// capped: a Java VM reserves far more than it uses), the class path and the helper's class.
QStringList arguments(const QString &programFolder, qint64 heapMb);

// The XSLT version a stylesheet declares on its root element (version on xsl:stylesheet or
// xsl:transform, xsl:version on a literal result element); 1.0 when it declares none that reads.
double xsltVersion(const QByteArray &stylesheet);

} // namespace saxon
