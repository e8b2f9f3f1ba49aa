#include "settingsstore.h"

#include "engine/fileio.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <cmath>
#include <memory>
#include <limits>

namespace {

// On Linux the native format in the user scope is an INI file, $XDG_CONFIG_HOME/Zendrik/Zendrik.conf with one
// INI group per section. A fresh object per use picks up changes made by other instances.
std::unique_ptr<QSettings> store()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QString::fromLatin1(SettingsStore::AppName),
                                       QString::fromLatin1(SettingsStore::AppName));
}

QString path(const QString &section, const QString &key)
{
    return section + QLatin1Char('/') + key;
}

QString describe(const QString &text, const QString &key, const char *expected)
{
    return QStringLiteral("The stored value \"%1\" of the setting \"%2\" is not %3.")
        .arg(text, key, QString::fromLatin1(expected));
}

// Parses a plain decimal number the way stored settings are written: optional sign, digits,
// optional fraction, surrounding spaces allowed. Nothing locale-specific.
bool parseNumber(const QString &text, double *value)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    bool ok = false;
    const double v = QLocale::c().toDouble(t, &ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

double roundHalfEven(double v)
{
    return std::nearbyint(v); // the default rounding mode is to nearest, ties to even
}

} // namespace

namespace SettingsStore {

QString read(const QString &section, const QString &key, const QString &defaultValue)
{
    const QVariant v = store()->value(path(section, key));
    if (!v.isValid())
        return defaultValue;
    // A hand-edited value with unquoted commas comes back as a list; keep it as the text it was.
    if (v.metaType().id() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

QString read(const QString &section, const QString &key, long defaultValue)
{
    return read(section, key, QString::number(defaultValue));
}

namespace {

// Changes the store: values replaces the keys of section given, or with wholeSection, the
// whole section. QSettings replaces its file through QSaveFile, which on a full disk can report
// success and leave the file empty. So the change goes into a draft beside the file, the draft
// is checked, and the checked bytes replace the file by a write that reports every failure.
void change(const QString &section, const QList<std::pair<QString, QString>> &values, bool wholeSection)
{
    const QString target = fileName();
    const auto fail = [&](const QString &why) {
        throw SettingsError(QStringLiteral("The settings file \"%1\" cannot be written: %2.").arg(target, why).toStdString());
    };
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder))
        fail(QStringLiteral("its folder cannot be created"));
    QTemporaryDir scratch(folder + QStringLiteral("/.settings-XXXXXX"));
    if (!scratch.isValid())
        fail(scratch.errorString());
    const QString draft = scratch.filePath(QFileInfo(target).fileName());
    QByteArray current;
    QString error;
    if (QFileInfo::exists(target) && !FileIO::readRegularFile(target, &current, &error))
        fail(error);
    if (!FileIO::writeNewFile(draft, current, &error))
        fail(error);
    QStringList kept;
    {
        QSettings s(draft, QSettings::IniFormat);
        if (wholeSection)
            s.remove(section);
        kept = s.allKeys();
        for (const auto &[key, value] : values)
            s.setValue(path(section, key), value);
        s.sync();
        if (s.status() != QSettings::NoError)
            fail(QStringLiteral("the new settings could not be prepared"));
    }
    QByteArray bytes;
    if (!FileIO::readRegularFile(draft, &bytes, &error))
        fail(error);
    {
        const QSettings check(draft, QSettings::IniFormat);
        for (const QString &k : std::as_const(kept))
            if (!check.contains(k))
                fail(QStringLiteral("the new settings could not be prepared"));
        for (const auto &[key, value] : values)
            if (check.value(path(section, key)).toString() != value)
                fail(QStringLiteral("the new settings could not be prepared"));
    }
    if (!FileIO::writeFileAtomically(target, bytes, &error))
        fail(error.section(QStringLiteral(": "), -1));
}

} // namespace

void save(const QString &section, const QString &key, const QString &value)
{
    change(section, {{key, value}}, false);
}

void replaceSection(const QString &section, const QList<std::pair<QString, QString>> &values)
{
    change(section, values, true);
}

QStringList keys(const QString &section)
{
    auto s = store();
    s->beginGroup(section);
    return s->childKeys();
}

QString fileName()
{
    return store()->fileName();
}

QString readOption(const Options::Key &key)
{
    return read(QString::fromLatin1(OptionsSection), key.key(), key.fallbackText());
}

QString readOption(const Options::Key &key, const QString &fallback)
{
    return read(QString::fromLatin1(OptionsSection), key.key(), fallback);
}

void saveOption(const Options::Key &key, const QString &value)
{
    save(QString::fromLatin1(OptionsSection), key.key(), value);
}

} // namespace SettingsStore

QColor Options::toColor(long bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

long Options::toBgr(const QColor &color)
{
    return long(color.red()) | (long(color.green()) << 8) | (long(color.blue()) << 16);
}

namespace SettingsConvert {

bool toBoolean(const QString &text, const QString &key)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    double v = 0;
    if (!parseNumber(t, &v))
        throw SettingsError(describe(text, key, "a truth value (0 or 1)").toStdString());
    return v != 0;
}

namespace {
// The text as a whole number within [low, high], fractions rounded half to even.
double roundedWhole(const QString &text, const QString &key, double low, double high, const char *range)
{
    double v = 0;
    if (!parseNumber(text, &v))
        throw SettingsError(describe(text, key, "a whole number").toStdString());
    const double r = roundHalfEven(v);
    if (r < low || r > high)
        throw SettingsError(describe(text, key, range).toStdString());
    return r;
}
} // namespace

short toInt16(const QString &text, const QString &key)
{
    return static_cast<short>(roundedWhole(text, key, std::numeric_limits<short>::min(),
                                           std::numeric_limits<short>::max(), "a number from -32768 to 32767"));
}

long toInt32(const QString &text, const QString &key)
{
    return static_cast<long>(roundedWhole(text, key, std::numeric_limits<int>::min(),
                                          std::numeric_limits<int>::max(), "a 32-bit whole number"));
}

double toDouble(const QString &text, const QString &key)
{
    double v = 0;
    if (!parseNumber(text, &v))
        throw SettingsError(describe(text, key, "a number").toStdString());
    return v;
}

} // namespace SettingsConvert
