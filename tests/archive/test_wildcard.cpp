// Wildcard matching and the path rules that keep extraction inside its folder.
#include "archive/PathRules.h"
#include "wildcard/Wildcard.h"
#include "core/format/Names.h"

#include <QTest>

using namespace oz::archive;

class WildcardTest : public QObject {
    Q_OBJECT
private slots:
    void matching_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("star-dot-star takes names without a dot") << "*.*"
                                                                 << "Makefile" << true;
        QTest::newRow("star-dot-star takes dotted names") << "*.*"
                                                          << "a.b.c" << true;
        QTest::newRow("extension ignores case") << "*.TXT"
                                                << "notes.txt" << true;
        QTest::newRow("other extension") << "*.txt"
                                         << "notes.txt.bak" << false;
        QTest::newRow("question mark is one character") << "a?.jpg"
                                                        << "ab.jpg" << true;
        QTest::newRow("question mark needs a character") << "a?.jpg"
                                                         << "a.jpg" << false;
        QTest::newRow("star matches empty run") << "a*b"
                                                << "ab" << true;
        QTest::newRow("several stars backtrack") << "*a*b*c"
                                                 << "xxaybzzc" << true;
        QTest::newRow("several stars fail") << "*a*b*c"
                                            << "xxaybzz" << false;
        QTest::newRow("exact name") << "photo.jpg"
                                    << "Photo.JPG" << true;
        QTest::newRow("empty pattern matches only empty") << ""
                                                          << "a" << false;
        QTest::newRow("non-ASCII case folding") << "ÄRGER*"
                                                << "ärger.txt" << true;
        QTest::newRow("question mark is one emoji") << "?.txt"
                                                    << "🎉.txt" << true;
        QTest::newRow("question mark is not half an emoji") << "??.txt"
                                                            << "🎉.txt" << false;
        QTest::newRow("star backtracks over an emoji") << "*🎉?"
                                                       << "a🎉🎉b" << true;
    }
    void matching()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, name);
        QFETCH(bool, matches);
        QCOMPARE(wildcardMatch(pattern, name), matches);
    }

    void pathologicalPatternIsFast()
    {
        // Would take exponential time with naive recursion.
        const QString name = QString(200, u'a');
        const QString pattern = QStringLiteral("*a*a*a*a*a*a*a*a*a*a*b");
        QVERIFY(!wildcardMatch(pattern, name));
    }

    void entryPaths_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("madeOnWindows");
        QTest::addColumn<QString>("safe");
        QTest::newRow("plain") << "a/b.txt" << false << "a/b.txt";
        QTest::newRow("dot parts and doubled separators drop") << "./a//b/./c" << false << "a/b/c";
        QTest::newRow("parent at the start") << "../x" << false << "refused";
        QTest::newRow("parent in the middle") << "a/../../x" << false << "refused";
        QTest::newRow("parent with backslashes from Windows") << "a\\..\\..\\x" << true << "refused";
        QTest::newRow("backslashes from Unix are characters") << "a\\..\\..\\x" << false << "a\\..\\..\\x";
        QTest::newRow("backslashes from Windows separate") << "dir\\sub\\x.txt" << true << "dir/sub/x.txt";
        QTest::newRow("absolute") << "/etc/passwd" << false << "refused";
        QTest::newRow("absolute with backslash from Windows") << "\\etc\\passwd" << true << "refused";
        QTest::newRow("colons are characters here") << "C:/Windows/x" << false << "C:/Windows/x";
        QTest::newRow("a lone drive-like name") << "C:" << false << "C:";
        QTest::newRow("wildcard characters") << "* ? | < >" << false << "* ? | < >";
        QTest::newRow("trailing dots and blanks") << "dot. /blank " << false << "dot. /blank ";
        QTest::newRow("leading dash") << "-rf" << false << "-rf";
        QTest::newRow("only dots is the destination itself") << "./" << false << "";
        QTest::newRow("empty") << "" << false << "refused";
        QTest::newRow("dots inside a name are fine") << "a..b/c..d" << false << "a..b/c..d";
    }
    void entryPaths()
    {
        QFETCH(QString, name);
        QFETCH(bool, madeOnWindows);
        QFETCH(QString, safe);
        const auto got = oz::core::safeEntryPath(name.toStdString(), madeOnWindows);
        QCOMPARE(got ? QString::fromStdString(*got) : QStringLiteral("refused"), safe);
    }

    void nulInNameIsRefused() { QVERIFY(!oz::core::safeEntryPath(std::string("a\0b", 3), false)); }

    void namesOnATerminalCarryNoControlCharacters()
    {
        using oz::core::printable;
        QCOMPARE(QString::fromStdString(printable("Café 日本 🎉.txt")), QStringLiteral("Café 日本 🎉.txt"));
        QCOMPARE(QString::fromStdString(printable("a\nb\tc\x1b[31m")), QStringLiteral("a\\nb\\tc\\x1b[31m"));
        QCOMPARE(QString::fromStdString(printable("\xc2\x9b"
                                                  "2J")),
                 QStringLiteral("\\u009B2J"));
        QCOMPARE(QString::fromStdString(printable("bad\xff")), QStringLiteral("bad\\xff"));
    }

    void storedNames()
    {
        QCOMPARE(storedName("/home/ann/photos", "sub/x.jpg", false), QStringLiteral("sub/x.jpg"));
        QCOMPARE(storedName("/home/ann/photos", "sub/x.jpg", true), QStringLiteral("home/ann/photos/sub/x.jpg"));
        QCOMPARE(storedName("C:\\data", "x.jpg", true), QStringLiteral("data/x.jpg"));
        QCOMPARE(storedName("/", "x.jpg", true), QStringLiteral("x.jpg"));
    }
};

QTEST_GUILESS_MAIN(WildcardTest)
#include "test_wildcard.moc"
