// Wildcard matching and the path rules that keep extraction inside its folder.
#include "archive/PathRules.h"
#include "archive/Wildcard.h"

#include <QtTest>

using namespace oz::archive;

class WildcardTest : public QObject {
    Q_OBJECT
private slots:
    void matching_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("star-dot-star takes names without a dot") << "*.*" << "Makefile" << true;
        QTest::newRow("star-dot-star takes dotted names") << "*.*" << "a.b.c" << true;
        QTest::newRow("extension ignores case") << "*.TXT" << "notes.txt" << true;
        QTest::newRow("other extension") << "*.txt" << "notes.txt.bak" << false;
        QTest::newRow("question mark is one character") << "a?.jpg" << "ab.jpg" << true;
        QTest::newRow("question mark needs a character") << "a?.jpg" << "a.jpg" << false;
        QTest::newRow("star matches empty run") << "a*b" << "ab" << true;
        QTest::newRow("several stars backtrack") << "*a*b*c" << "xxaybzzc" << true;
        QTest::newRow("several stars fail") << "*a*b*c" << "xxaybzz" << false;
        QTest::newRow("exact name") << "photo.jpg" << "Photo.JPG" << true;
        QTest::newRow("empty pattern matches only empty") << "" << "a" << false;
        QTest::newRow("non-ASCII case folding") << "ÄRGER*" << "ärger.txt" << true;
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
        QTest::addColumn<QString>("safe"); // "refused", or the path
        QTest::newRow("plain") << "a.txt" << "a.txt";
        QTest::newRow("nested folder") << "sub/dir/" << "sub/dir";
        QTest::newRow("dot components dropped") << "./a//b/./c" << "a/b/c";
        QTest::newRow("backslash is a separator") << "sub\\x.txt" << "sub/x.txt";
        QTest::newRow("parent") << "../x" << "refused";
        QTest::newRow("parent in the middle") << "a/../../x" << "refused";
        QTest::newRow("parent with backslashes") << "a\\..\\..\\x" << "refused";
        QTest::newRow("absolute") << "/etc/passwd" << "refused";
        QTest::newRow("absolute with backslash") << "\\etc\\passwd" << "refused";
        QTest::newRow("drive letter") << "C:/Windows/x" << "refused";
        QTest::newRow("drive letter relative") << "C:x" << "refused";
        QTest::newRow("only dots is the destination itself") << "./" << "";
        QTest::newRow("empty") << "" << "refused";
        QTest::newRow("dots inside a name are fine") << "a..b/c..d" << "a..b/c..d";
    }
    void entryPaths()
    {
        QFETCH(QString, name);
        QFETCH(QString, safe);
        const auto got = safeEntryPath(name);
        QCOMPARE(got.value_or(QStringLiteral("refused")), safe);
    }

    void nulInNameIsRefused()
    {
        QVERIFY(!safeEntryPath(QStringLiteral("a") + QChar(0) + QStringLiteral("b")));
    }

    void links_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("inside");
        QTest::newRow("sibling") << "a/l" << "b" << true;
        QTest::newRow("up one from a sub-folder") << "a/l" << "../b" << true;
        QTest::newRow("up out of the top") << "l" << "../b" << false;
        QTest::newRow("deep escape") << "a/b/l" << "../../../x" << false;
        QTest::newRow("absolute") << "l" << "/etc/passwd" << false;
        QTest::newRow("down and up stays") << "l" << "a/../b" << true;
        QTest::newRow("empty target") << "l" << "" << false;
    }
    void links()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(bool, inside);
        QCOMPARE(linkStaysInside(link, target), inside);
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
