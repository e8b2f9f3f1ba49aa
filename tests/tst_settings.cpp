#include "options/settingsstore.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QApplication>
#include <QDir>
#include <QTest>

class TstSettings : public QObject
{
    Q_OBJECT
private slots:
    void init() { fixture::clearSettings(); }

    void read_missingKeyGivesDefault()
    {
        QCOMPARE(SettingsStore::read("Options", "StartupMode", QStringLiteral("Normal")), QStringLiteral("Normal"));
        // Numbers handed over as defaults come back as their decimal text.
        QCOMPARE(SettingsStore::read("Options", "TagColor", 16711680L), QStringLiteral("16711680"));
        QCOMPARE(SettingsStore::read("MRUFiles", "0", QString()), QString());
        QVERIFY(!fixture::settingsFileExists());
    }

    void save_writesIniGroupsInTheUserConfigFolder()
    {
        SettingsStore::save("Options", "StartupMode", "Maximized");
        SettingsStore::save("Options", "AttibValueColor", "128");
        SettingsStore::save("MRUFiles", "0", "/home/u/a b,c.xsl");
        QCOMPARE(SettingsStore::fileName(), testenv::configHome() + "/Zendrik/Zendrik.conf");
        const QString text = fixture::settingsFileText();
        QVERIFY2(text.contains("[Options]"), qPrintable(text));
        QVERIFY(text.contains("[MRUFiles]"));
        QVERIFY(text.contains("StartupMode=Maximized"));
        QVERIFY(text.contains("AttibValueColor=128"));
        QCOMPARE(SettingsStore::read("Options", "StartupMode", "Normal"), QStringLiteral("Maximized"));
        QCOMPARE(SettingsStore::read("MRUFiles", "0", ""), QStringLiteral("/home/u/a b,c.xsl"));
        // Overwriting keeps one value.
        SettingsStore::save("Options", "StartupMode", "Normal");
        QCOMPARE(SettingsStore::read("Options", "StartupMode", ""), QStringLiteral("Normal"));
    }

    void read_handEditedListValueStaysText()
    {
        fixture::clearSettings();
        QDir().mkpath(testenv::configHome() + "/Zendrik");
        QFile f(testenv::configHome() + "/Zendrik/Zendrik.conf");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Options]\nFontName=Courier,New\n[MRUFiles]\n0=/tmp/x.xsl\n");
        f.close();
        QCOMPARE(SettingsStore::read("Options", "FontName", ""), QStringLiteral("Courier,New"));
        QCOMPARE(SettingsStore::read("MRUFiles", "0", ""), QStringLiteral("/tmp/x.xsl"));
    }

    void save_unwritableStoreThrows()
    {
        // A folder where the file should be cannot be written, even by root.
        QDir().mkpath(testenv::configHome() + "/Zendrik/Zendrik.conf");
        QVERIFY_THROWS_EXCEPTION(SettingsError, SettingsStore::save("Options", "AutoParse", "1"));
        QDir(testenv::configHome() + "/Zendrik").removeRecursively();
    }

    void toBoolean_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("expected");
        QTest::addRow("zero") << "0" << true << false;
        QTest::addRow("one") << "1" << true << true;
        QTest::addRow("minus one") << "-1" << true << true;
        QTest::addRow("other number") << "7" << true << true;
        QTest::addRow("spaces") << " 0 " << true << false;
        QTest::addRow("True") << "True" << true << true;
        QTest::addRow("false lower") << "false" << true << false;
        QTest::addRow("letters") << "yes" << false << false;
        QTest::addRow("empty") << "" << false << false;
    }
    void toBoolean()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(bool, expected);
        if (!valid) {
            try {
                SettingsConvert::toBoolean(text, "AutoParse");
                QFAIL("no failure raised");
            } catch (const SettingsError &e) {
                const QString what = QString::fromUtf8(e.what());
                QVERIFY2(what.contains("AutoParse") && what.contains('"' + text + '"'), qPrintable(what));
            }
            return;
        }
        QCOMPARE(SettingsConvert::toBoolean(text, "AutoParse"), expected);
    }

    void toInt16_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("expected");
        QTest::addRow("whole") << "12" << true << 12;
        QTest::addRow("half down to even") << "10.5" << true << 10;
        QTest::addRow("half up to even") << "11.5" << true << 12;
        QTest::addRow("fraction") << "8.25" << true << 8;
        QTest::addRow("negative") << "-3" << true << -3;
        QTest::addRow("largest") << "32767" << true << 32767;
        QTest::addRow("overflow") << "32768" << false << 0;
        QTest::addRow("letters") << "big" << false << 0;
        QTest::addRow("empty") << "" << false << 0;
    }
    void toInt16()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, expected);
        if (!valid) {
            QVERIFY_THROWS_EXCEPTION(SettingsError, SettingsConvert::toInt16(text, "FontSize"));
            return;
        }
        QCOMPARE(int(SettingsConvert::toInt16(text, "FontSize")), expected);
    }

    void toInt32_colours()
    {
        QCOMPARE(SettingsConvert::toInt32("16711680", "TagColor"), 16711680L);
        QCOMPARE(SettingsConvert::toInt32("-1", "TagColor"), -1L);
        QVERIFY_THROWS_EXCEPTION(SettingsError, SettingsConvert::toInt32("blue", "TagColor"));
        QVERIFY_THROWS_EXCEPTION(SettingsError, SettingsConvert::toInt32("4294967296", "TagColor"));
    }
};

ZENDRIK_TEST_MAIN(TstSettings)
#include "tst_settings.moc"
