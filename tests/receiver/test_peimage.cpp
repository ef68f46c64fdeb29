// The builder's changes to the Windows extractor's image: an icon and a version go in, and each
// refusal says whose fault it is, a damaged image the builder's own, a bad .ico the user's.
#include "core/base/Error.h"
#include "receiver/BuilderPeImage.h"
#include "receiver/PeVersion.h"

#include <QTest>

#include <cstring>
#include <functional>

using namespace oz::receiver;
using Kind = oz::core::Error::Kind;

namespace {

void put(std::string &s, std::size_t at, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Where the tiny image keeps what the tests damage.
constexpr std::size_t optionalHeader = 0x58, sections = optionalHeader + 240;

// A PE32+ image laid out as the linker lays out the extractor: headers, an empty resource
// section, then the base relocations, last.
std::string tinyImage()
{
    std::string exe(0x600, '\0');
    exe[0] = 'M', exe[1] = 'Z';
    put(exe, 0x3c, 0x40, 4);
    exe.replace(0x40, 4, std::string("PE\0\0", 4));
    put(exe, 0x44, 0x8664, 2), put(exe, 0x46, 2, 2), put(exe, 0x54, 240, 2), put(exe, 0x56, 0x22, 2);
    const std::size_t o = optionalHeader;
    put(exe, o, 0x20b, 2), put(exe, o + 8, 0x400, 4), put(exe, o + 16, 0x1000, 4);
    put(exe, o + 24, 0x140000000, 8), put(exe, o + 32, 0x1000, 4), put(exe, o + 36, 0x200, 4);
    put(exe, o + 40, 6, 2), put(exe, o + 48, 6, 2), put(exe, o + 56, 0x3000, 4), put(exe, o + 60, 0x200, 4);
    put(exe, o + 68, 2, 2), put(exe, o + 108, 16, 4);
    put(exe, o + 112 + 2 * 8, 0x1000, 4), put(exe, o + 112 + 2 * 8 + 4, 16, 4); // resources
    put(exe, o + 112 + 5 * 8, 0x2000, 4), put(exe, o + 112 + 5 * 8 + 4, 12, 4); // relocations
    const char *names[] = {".rsrc", ".reloc"};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t sh = sections + 40 * i;
        exe.replace(sh, std::strlen(names[i]), names[i]);
        put(exe, sh + 8, 0x200, 4), put(exe, sh + 12, 0x1000 * (i + 1), 4);
        put(exe, sh + 16, 0x200, 4), put(exe, sh + 20, 0x200 * (i + 1), 4);
        put(exe, sh + 36, i ? 0x42000040 : 0x40000040, 4);
    }
    put(exe, 0x400, 0x1000, 4), put(exe, 0x404, 12, 4), put(exe, 0x408, 0xa000, 2);
    return exe;
}

// An .ico of one bitmap picture width × height.
std::string icon(std::uint32_t width, std::uint32_t height)
{
    std::string ico(6 + 16 + 40 + 64, '\0');
    put(ico, 2, 1, 2), put(ico, 4, 1, 2);
    ico[6] = static_cast<char>(width & 0xff), ico[7] = static_cast<char>(height & 0xff);
    put(ico, 6 + 8, 40 + 64, 4), put(ico, 6 + 12, 22, 4);
    put(ico, 22, 40, 4), put(ico, 26, width, 4), put(ico, 30, 2 * height, 4);
    return ico;
}

// The error step throws; fails the test unless it does with that kind and text.
void expectError(const std::function<void()> &step, Kind kind, const QString &text)
{
    try {
        step();
        QFAIL(qPrintable("no error, expected: " + text));
    } catch (const oz::core::Error &e) {
        QCOMPARE(QString::fromStdString(e.what()), text);
        QCOMPARE(e.kind(), kind);
    }
}

PeResources resourcesOf(std::string exe)
{
    PeResources out;
    editPeResources(exe, [&](PeResources &r) { out = r; });
    return out;
}

} // namespace

class PeImageTest : public QObject {
    Q_OBJECT

private slots:
    // The icon and the version replace what was there, and the image they make can be changed
    // again: the next build starts from the same program.
    void iconAndVersionGoIntoTheResources()
    {
        std::string exe = tinyImage();
        const std::string ico = icon(16, 16);
        setPeIcon(exe, ico, "a.ico");
        VersionInfo info;
        info.product = u"Album";
        info.version = u"4.2";
        info.numbers = versionNumbers("4.2");
        setPeVersion(exe, info);
        setPeIcon(exe, icon(32, 32), "b.ico");
        const PeResources r = resourcesOf(exe);
        QCOMPARE(r.size(), std::size_t(3)); // one picture, its group, the version
        QCOMPARE(r.at({3, 1, 1033}), icon(32, 32).substr(22));
        QVERIFY(r.at({14, 1, 1033}).starts_with(icon(32, 32).substr(0, 6)));
        QCOMPARE(r.at({16, 1, 0x409}), encodeVersionResource(info));
        // The relocations moved behind the grown resources, where the directory says.
        const auto get32 = [&](std::size_t at) {
            std::uint32_t v = 0;
            for (int i = 3; i >= 0; --i)
                v = v << 8 | static_cast<unsigned char>(exe[at + i]);
            return v;
        };
        QCOMPARE(get32(optionalHeader + 112 + 5 * 8), get32(sections + 40 + 12));
        QCOMPARE(exe.substr(get32(sections + 40 + 20), 10), tinyImage().substr(0x400, 10));
    }

    // A damaged program is the builder's trouble, not the user's: it says so, and is left as it
    // was, never grown to gigabytes by a damaged alignment nor written over its own headers.
    void aDamagedImageIsRefusedAsTheBuildersOwn()
    {
        const QString prefix = QStringLiteral("The Windows extractor program cannot be changed: ");
        const std::pair<std::function<void(std::string &)>, QString> damages[] = {
            {[](std::string &exe) { exe[0] = 'X'; }, "it is not a Windows program"},
            {[](std::string &exe) { put(exe, 0x54, 112, 2); }, "it is not a Windows program"},
            {[](std::string &exe) { put(exe, optionalHeader + 36, 0x40000000, 4); }, "its headers are damaged"},
            {[](std::string &exe) { put(exe, optionalHeader + 36, 0x300, 4); }, "its headers are damaged"},
            {[](std::string &exe) { put(exe, sections + 20, 0x100, 4); }, "its resources are not the last part of it"},
            {[](std::string &exe) { put(exe, optionalHeader + 112 + 5 * 8, 0x5000, 4); },
             "its resources are not the last part of it"},
            {[](std::string &exe) { exe.resize(0x500); }, "it is cut short"},
            {[](std::string &exe) { put(exe, 0x200 + 14, 0x7fff, 2); }, "its resources cannot be read"},
        };
        for (const auto &[damage, why] : damages) {
            std::string exe = tinyImage();
            damage(exe);
            const std::string before = exe;
            expectError([&] { setPeIcon(exe, icon(16, 16), "a.ico"); }, Kind::System, prefix + why);
            expectError([&] { setPeVersion(exe, VersionInfo{}); }, Kind::System, prefix + why);
            QVERIFY(exe == before);
        }
    }

    // An icon Windows cannot show is the user's input: the reason names the file and the picture.
    void anUnusableIconSaysWhy()
    {
        std::string noPictures = icon(16, 16).substr(0, 6);
        put(noPictures, 4, 0, 2);
        std::string notPicture = icon(16, 16);
        put(notPicture, 22, 12, 4);
        const std::pair<std::string, QString> icons[] = {
            {"", "it is empty"},
            {"GIF89a", "it is not a Windows icon (.ico) file"},
            {noPictures, "it holds no pictures"},
            {icon(16, 16).substr(0, 12), "it is cut short"},
            {icon(16, 16).substr(0, 40), "picture 1 is cut short"},
            {notPicture, "picture 1 is neither a bitmap nor a PNG"},
            {icon(300, 16), "picture 1 is 300 × 16; pictures may be up to 256 × 256"},
        };
        // Named copies rather than a structured binding: clang 14 cannot capture one in a lambda.
        for (const auto &entry : icons) {
            const std::string &ico = entry.first;
            const QString text = "The icon my.ico cannot be used: " + entry.second;
            expectError([&] { checkIcon(ico, "my.ico"); }, Kind::Unsupported, text);
            std::string exe = tinyImage();
            expectError([&] { setPeIcon(exe, ico, "my.ico"); }, Kind::Unsupported, text);
            QVERIFY(exe == tinyImage());
        }
    }

    // Up to four numbers from 0 to 65535; anything else is refused with the sentence the
    // windows show, and so are texts too long for the resource.
    void versionsWindowsCanHold()
    {
        QCOMPARE(versionNumbers("7"), (std::array<std::uint16_t, 4>{7, 0, 0, 0}));
        QCOMPARE(versionNumbers("1.2.3.4"), (std::array<std::uint16_t, 4>{1, 2, 3, 4}));
        QCOMPARE(versionNumbers("65535.00001.0"), (std::array<std::uint16_t, 4>{65535, 1, 0, 0}));
        for (const std::string text : {"", "4.x", "1.2.3.4.5", "65536", "1..2", "1.", ".1", "000001", "-1"})
            expectError([&] { versionNumbers(text); }, Kind::Unsupported,
                        QString::fromStdString("The version " + text
                                               + " is not one Windows can hold: up to four numbers from 0 to 65535, "
                                                 "as 1.2.3.4"));
        VersionInfo info;
        info.product = std::u16string(20000, u'x');
        std::string exe = tinyImage();
        expectError([&] { setPeVersion(exe, info); }, Kind::Unsupported,
                    "The version of the program cannot be set: its version texts are too long");
        QVERIFY(exe == tinyImage());
    }
};

QTEST_GUILESS_MAIN(PeImageTest)
#include "test_peimage.moc"
