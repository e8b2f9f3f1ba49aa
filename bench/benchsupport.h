#pragma once

// What the benchmarks share: timing, medians and the generated inputs, so every benchmark
// works on the same bytes in every run.

#include <QByteArray>
#include <QElapsedTimer>

class QString;

#include <functional>
#include <vector>

namespace bench {

// Timed runs per measurement, after one warm-up.
extern int g_runs;

double msSince(const QElapsedTimer &t);
// A file's bytes; empty when it cannot be read.
QByteArray readFile(const QString &path);
double median(std::vector<double> v);
// The value below which the given share (0..1) of the values lie.
double percentile(std::vector<double> v, double share);
// One warm-up, then g_runs timed runs; the callable returns the time it measured in ms.
double measure(const std::function<double()> &run);

// A stylesheet of about targetBytes: many templates with match patterns, loops, conditions,
// literal result elements with attributes, comments and some non-ASCII text.
QByteArray makeStylesheet(qsizetype targetBytes);
// An XML source of about targetBytes: records with attributes, nested elements and text.
QByteArray makeSource(qsizetype targetBytes);
// A DocBook article (no namespace) of about targetBytes.
QByteArray makeArticle(qsizetype targetBytes);
// Turns the source into a well-formed XHTML page: one table row per record.
QByteArray makeTableStylesheet();

// The bare libraries as xsltproc --nonet uses them, with their own loaders: parse, compile,
// run and write; the time in ms.
double bareTransform(const QString &stylesheet, const QString &source);

} // namespace bench
