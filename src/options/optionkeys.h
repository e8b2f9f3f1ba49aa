#pragma once

#include <QColor>
#include <QString>

// Every setting of the [Options] group, in one place: its key exactly as it is stored (stored
// files rely on the spelling, "AttibValueColor" included) and the value a reader takes when the
// key is missing. The font's name and size have no fixed fallback: each reader falls back to the
// font it shows.
namespace Options {

struct Key {
    const char *name;
    const char *fallback; // nullptr: the reader supplies its own
    QString key() const { return QString::fromLatin1(name); }
    QString fallbackText() const { return QString::fromLatin1(fallback ? fallback : ""); }
    long fallbackNumber() const { return fallbackText().toLong(); }
};

inline constexpr Key StartupMode{"StartupMode", "Normal"};
inline constexpr Key AutoParse{"AutoParse", "1"};
inline constexpr Key RunPreviewScripts{"RunPreviewScripts", "0"};
inline constexpr Key LivePreview{"LivePreview", "0"};
inline constexpr Key LineNumbers{"LineNumbers", "1"};
inline constexpr Key KeepAsWritten{"KeepFilesAsWritten", "1"};
inline constexpr Key ReopenWindows{"ReopenWindows", "0"};
// Spaces per level when a document is formatted.
inline constexpr Key IndentWidth{"IndentWidth", "2"};
// Megabytes the transformation engine may use; without a stored value, the lower of 2 GB and
// half the computer's memory.
inline constexpr Key EngineMemoryMB{"EngineMemoryMB", nullptr};
// Which XSLT processor runs a stylesheet: "Automatic" (by its version), "libxslt" or "Saxon-HE".
inline constexpr Key XsltProcessor{"XsltProcessor", "Automatic"};
inline constexpr Key FontName{"FontName", nullptr};
inline constexpr Key FontSize{"FontSize", nullptr};
// Colours are 0x00BBGGRR numbers written in decimal: blue tags, navy attribute names, maroon values.
inline constexpr Key TagColor{"TagColor", "16711680"};
inline constexpr Key TagBold{"TagBold", "0"};
inline constexpr Key TagItalic{"TagItalic", "0"};
inline constexpr Key AttribColor{"AttribColor", "8388608"};
// Attribute names show bold unless the user says otherwise.
inline constexpr Key AttribBold{"AttribBold", "1"};
inline constexpr Key AttribItalic{"AttribItalic", "0"};
inline constexpr Key AttribValueColor{"AttibValueColor", "128"};
inline constexpr Key AttribValueBold{"AttibValueBold", "0"};
inline constexpr Key AttribValueItalic{"AttibValueItalic", "0"};

// Colours are stored, set and asked for as 0x00BBGGRR numbers; these two are the only
// conversion to and from Qt's colours.
QColor toColor(long bgr);
long toBgr(const QColor &color);

} // namespace Options
