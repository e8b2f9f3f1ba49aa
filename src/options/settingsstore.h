#pragma once

#include "options/optionkeys.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <utility>
#include <stdexcept>

// The per-user settings store: text values addressed by section and key, kept in
// $XDG_CONFIG_HOME/Zendrik/Zendrik.conf. Every reader supplies its own default and converts the
// text itself with the helpers below.
namespace SettingsStore {

inline constexpr const char *AppName = "Zendrik";
inline constexpr const char *OptionsSection = "Options";
inline constexpr const char *MRUSection = "MRUFiles";
// The windows open when the program last ended, for reopening them.
inline constexpr const char *SessionSection = "Session";

// The stored text, or defaultValue when the key does not exist.
QString read(const QString &section, const QString &key, const QString &defaultValue);
QString read(const QString &section, const QString &key, long defaultValue);
// Creates or overwrites the value. Throws SettingsError when the store cannot be written.
void save(const QString &section, const QString &key, const QString &value);
// Replaces everything in the section by values, in one write; none removes the section.
void replaceSection(const QString &section, const QList<std::pair<QString, QString>> &values);
// The keys the section holds.
QStringList keys(const QString &section);

// The file behind the store.
QString fileName();

// A setting of the [Options] group, or its fallback (the given one, else the key's own).
QString readOption(const Options::Key &key);
QString readOption(const Options::Key &key, const QString &fallback);
void saveOption(const Options::Key &key, const QString &value);

} // namespace SettingsStore

// A stored value that cannot be converted, or a store that cannot be written. what() is the
// description shown to the user.
class SettingsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Conversions of stored text, each throwing SettingsError with a readable description when the
// text is not of the expected form. key is only used in that description.
namespace SettingsConvert {
// "0" is false and any other number true; "True" and "False" in any letter case are accepted too.
bool toBoolean(const QString &text, const QString &key);
// A 16-bit whole number; fractions round half to even ("10.5" is 10, "11.5" is 12).
short toInt16(const QString &text, const QString &key);
// A 32-bit whole number, rounded the same way.
long toInt32(const QString &text, const QString &key);
// A number with a fraction, as used for font sizes in points.
double toDouble(const QString &text, const QString &key);
} // namespace SettingsConvert
