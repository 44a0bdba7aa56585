// The codec alone: the ANSI code page's byte mapping, characters it lacks, UTF-8 validity,
// environment expansion and the folder rules. File behaviour is in tst_settingsfile.

#include "settings/settingscodec.h"
#include "settings/settingspaths.h"

#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace settings;

class TestSettingsCodec : public QObject {
    Q_OBJECT
private slots:
    void ansiCodePageIsTheSystems();
    void ansiEveryByteDecodesAndComesBack_data();
    void ansiEveryByteDecodesAndComesBack();
    void ownTableMatchesTheLibrarys();
    void charactersAnsiLacksBecomeQuestionMarks_data();
    void charactersAnsiLacksBecomeQuestionMarks();
    void utf8ValidityAfterMark_data();
    void utf8ValidityAfterMark();
    void utf8LoneSurrogateIsWrittenAsReplacement();
    void valuesWithBreaksKeepTheirLine_data();
    void valuesWithBreaksKeepTheirLine();
    void expandEnvPath_data();
    void expandEnvPath();
    void folderTexts();
};

namespace {

// The code page ANSI text is in: the system's on Windows (the test run gives Wine a Russian
// locale for 1251 and an English one for 1252), our own Windows-1251 elsewhere.
unsigned ansiCodePage()
{
#ifdef Q_OS_WIN
    return GetACP();
#else
    return 1251;
#endif
}

} // namespace

// A run that names the code page it set up must really be in it; otherwise the rows below would
// silently test another code page than intended.
void TestSettingsCodec::ansiCodePageIsTheSystems()
{
    const QByteArray expected = qgetenv("VINTRA_EXPECT_ACP");
#ifdef Q_OS_WIN
    QVERIFY2(!expected.isEmpty(), "VINTRA_EXPECT_ACP names the code page the test run set up");
#endif
    if (!expected.isEmpty())
        QCOMPARE(ansiCodePage(), expected.toUInt());
}

void TestSettingsCodec::ansiEveryByteDecodesAndComesBack_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("character");
    if (ansiCodePage() == 1251) {
        QTest::newRow("undefined 0x98") << 0x98 << 0x98;
        QTest::newRow("euro sign") << 0x88 << 0x20AC;
        QTest::newRow("Cyrillic capital A") << 0xC0 << 0x0410;
        QTest::newRow("Cyrillic small ya") << 0xFF << 0x044F;
        QTest::newRow("SUB") << 0x1A << 0x1A;
    } else if (ansiCodePage() == 1252) {
        QTest::newRow("euro sign") << 0x80 << 0x20AC;
        QTest::newRow("undefined 0x81") << 0x81 << 0x81;
        QTest::newRow("Y diaeresis") << 0x9F << 0x0178;
        QTest::newRow("A diaeresis") << 0xC4 << 0x00C4;
        QTest::newRow("e acute") << 0xE9 << 0x00E9;
    }
}

void TestSettingsCodec::ansiEveryByteDecodesAndComesBack()
{
    QFETCH(int, code); // of a byte; not "byte", which windows.h declares
    QFETCH(int, character);
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = ansiToUnicode(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(text[code], QChar(character));
    QCOMPARE(text.count(QChar::ReplacementCharacter), 0);
    QCOMPARE(unicodeToAnsi(text), all);
}

// Our own 1251 table against the converter library's, byte by byte, where the library has one:
// a mistyped entry would silently change what a user's paths read as.
void TestSettingsCodec::ownTableMatchesTheLibrarys()
{
#ifdef Q_OS_WIN
    QSKIP("Windows converts with the system's own code page");
#else
    if (!QStringDecoder("windows-1251").isValid())
        QSKIP("this Qt has no Windows-1251 converter to compare with");
    for (int b = 0x80; b < 0x100; ++b) {
        QStringDecoder decoder("windows-1251", QStringDecoder::Flag::Stateless);
        const char byte = char(b);
        const QString expected = decoder(QByteArrayView(&byte, 1));
        // The library marks an undefined byte with U+FFFD or SUB.
        if (decoder.hasError() || expected.size() != 1 || expected.front() == QChar::ReplacementCharacter ||
            expected.front() == QChar(0x1A))
            QCOMPARE(ansiToUnicode(QByteArrayView(&byte, 1)), QString(QChar(b))); // undefined: its own code
        else
            QCOMPARE(ansiToUnicode(QByteArrayView(&byte, 1)), expected);
    }
#endif
}

void TestSettingsCodec::charactersAnsiLacksBecomeQuestionMarks_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArray>("written");
    if (ansiCodePage() == 1251) {
        QTest::newRow("CJK") << QStringLiteral("\u4E2D.wav") << QByteArray("?.wav");
        QTest::newRow("SUB is a real character") << QString(QChar(0x1A)) << QByteArray("\x1A");
        QTest::newRow("Cyrillic and euro") << QStringLiteral("\u0416\u20AC") << QByteArray("\xC6\x88");
#ifndef Q_OS_WIN
        // Our own table has no best fit: every character it lacks is one "?".
        QTest::newRow("a-umlaut") << QStringLiteral("a\u00E4b") << QByteArray("a?b");
        QTest::newRow("pair is one character") << QStringLiteral("x\U0001F600y") << QByteArray("x?y");
        QTest::newRow("lone high at end") << QStringLiteral("x") + QChar(0xD800) << QByteArray("x?");
        QTest::newRow("lone low") << QString(QChar(0xDC00)) + QStringLiteral("z") << QByteArray("?z");
#endif
    } else if (ansiCodePage() == 1252) {
        QTest::newRow("CJK") << QStringLiteral("\u4E2D.wav") << QByteArray("?.wav");
        QTest::newRow("Cyrillic") << QStringLiteral("\u0416.wav") << QByteArray("?.wav");
        QTest::newRow("a-umlaut and euro") << QStringLiteral("a\u00E4\u20AC") << QByteArray("a\xE4\x80");
    }
}

void TestSettingsCodec::charactersAnsiLacksBecomeQuestionMarks()
{
    QFETCH(QString, line);
    QFETCH(QByteArray, written);
    const QByteArray bytes = encode({line}, TextEncoding::Ansi);
    QCOMPARE(bytes, written + QByteArray("\r\n").repeated(kLineCount));
    QCOMPARE(decode(bytes).lines.first(), ansiToUnicode(written));
}

void TestSettingsCodec::utf8ValidityAfterMark_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("valid");
    QTest::newRow("Cyrillic") << QByteArray("\xD0\x96") << true;
    QTest::newRow("4-byte") << QByteArray("\xF0\x9F\x98\x80") << true;
    QTest::newRow("U+FFFF") << QByteArray("\xEF\xBF\xBF") << true;
    QTest::newRow("overlong NUL") << QByteArray("\xC0\x80") << false;
    QTest::newRow("overlong 3-byte") << QByteArray("\xE0\x80\xAF") << false;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << false;
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("lone continuation") << QByteArray("a\x80") << false;
    QTest::newRow("truncated at end") << QByteArray("a\xE2\x82") << false;
    QTest::newRow("truncated mid-line") << QByteArray("\xE2\x82z") << false;
    QTest::newRow("bad byte after NUL") << QByteArray("a\0\xFF", 3) << false;
}

void TestSettingsCodec::utf8ValidityAfterMark()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, valid);
    const QByteArray bytes = encodingMark(TextEncoding::Utf8) + body;
    if (valid) {
        const DecodeResult r = decode(bytes);
        QCOMPARE(r.encoding, TextEncoding::Utf8);
        QCOMPARE(r.lines.first(), QString::fromUtf8(body));
        return;
    }
    try {
        decode(bytes);
        QFAIL("invalid UTF-8 decoded");
    } catch (const SettingsError &e) {
        QCOMPARE(e.message(), noMappingMessage());
    }
}

void TestSettingsCodec::utf8LoneSurrogateIsWrittenAsReplacement()
{
    const QByteArray bytes = encode({QString(QChar(0xD800))}, TextEncoding::Utf8);
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF\xEF\xBF\xBD\r\n"));
    QCOMPARE(decode(bytes).lines.first(), QString(QChar::ReplacementCharacter));
}

void TestSettingsCodec::valuesWithBreaksKeepTheirLine_data()
{
    QTest::addColumn<int>("encoding");
    QTest::newRow("ANSI") << int(TextEncoding::Ansi);
    QTest::newRow("UTF-8") << int(TextEncoding::Utf8);
    QTest::newRow("UTF-16LE") << int(TextEncoding::Utf16LE);
    QTest::newRow("UTF-16BE") << int(TextEncoding::Utf16BE);
}

// A value holding CR, LF or NUL is written up to it, so the next load finds every value on
// its own line, the last (the music path) included.
void TestSettingsCodec::valuesWithBreaksKeepTheirLine()
{
    QFETCH(int, encoding);
    QStringList values;
    for (int i = 1; i <= kLineCount; ++i)
        values << QStringLiteral("v%1").arg(i);
    values[0] = QStringLiteral("15\r\n99");
    values[7] = QStringLiteral("\n");
    values[11] = QStringLiteral("~/new.wav\n");
    values[12] = QStringLiteral("a\rb");
    values[13] = QStringLiteral("a\n\rb");
    values[14] = QStringLiteral("c") + QChar(0) + QStringLiteral("\r\nd");
    const QByteArray bytes = encode(values, TextEncoding(encoding));
    const DecodeResult back = decode(bytes);
    QCOMPARE(int(back.encoding), encoding);
    QStringList expected = values;
    expected[0] = QStringLiteral("15");
    expected[7] = QString();
    expected[11] = QStringLiteral("~/new.wav");
    expected[12] = QStringLiteral("a");
    expected[13] = QStringLiteral("a");
    expected[14] = QStringLiteral("c");
    QCOMPARE(back.lines, expected);
    QCOMPARE(encode(back.lines, TextEncoding(encoding)), bytes);
    if (TextEncoding(encoding) == TextEncoding::Ansi)
        QCOMPARE(bytes.count('\n'), kLineCount);
    QCOMPARE(textBeforeLineBreak(u"x\ry\nz"), QStringLiteral("x"));
    QCOMPARE(textBeforeLineBreak(u"xyz"), QStringLiteral("xyz"));
}

void TestSettingsCodec::expandEnvPath_data()
{
    qputenv("VT_A", "alpha");
    qputenv("VT_EMPTY", "");
#ifdef Q_OS_WIN
    // Through the wide environment: the 8-bit one holds only the ANSI code page.
    _wputenv_s(L"VT_CYR", L"\u041F\u0430\u043F\u043A\u0430");
#else
    qputenv("VT_CYR", QStringLiteral("\u041F\u0430\u043F\u043A\u0430").toLocal8Bit());
#endif
    qputenv("VT_LONG", QByteArray(5000, 'L'));
    qunsetenv("VT_UNSET");

    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expanded");
    QTest::newRow("set") << "%VT_A%\\"
                         << "alpha\\";
    QTest::newRow("inside text") << "x%VT_A%y"
                                 << "xalphay";
    QTest::newRow("twice adjacent") << "%VT_A%%VT_A%"
                                    << "alphaalpha";
#ifdef Q_OS_WIN
    // Windows has no empty variables: setting one to nothing removes it.
    QTest::newRow("empty value") << "%VT_EMPTY%x"
                                 << "%VT_EMPTY%x";
#else
    QTest::newRow("empty value") << "%VT_EMPTY%x"
                                 << "x";
#endif
    QTest::newRow("non-ASCII value") << "%VT_CYR%" << QStringLiteral("\u041F\u0430\u043F\u043A\u0430");
    QTest::newRow("long value") << "%VT_LONG%/x" << QString(5000, u'L') + "/x";
    QTest::newRow("unset stays") << "%VT_UNSET%\\"
                                 << "%VT_UNSET%\\";
    QTest::newRow("unset, closing % opens next") << "%VT_UNSET%VT_A%"
                                                 << "%VT_UNSETalpha";
    QTest::newRow("double %") << "%%"
                              << "%%";
    QTest::newRow("%% before reference") << "%%VT_A%"
                                         << "%alpha";
    QTest::newRow("lone %") << "100%"
                            << "100%";
    QTest::newRow("unclosed") << "%VT_A"
                              << "%VT_A";
    QTest::newRow("no references") << "plain"
                                   << "plain";
}

void TestSettingsCodec::expandEnvPath()
{
    QFETCH(QString, text);
    QFETCH(QString, expanded);
    QCOMPARE(ExpandEnvPath(text), expanded);
}

void TestSettingsCodec::folderTexts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    const QString appdata = appDataDir();
    if (oldConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", oldConfig);

#ifdef Q_OS_WIN
    QCOMPARE(appdata, qEnvironmentVariable("APPDATA") + QStringLiteral("\\"));
    QCOMPARE(settingsFilePath(QStringLiteral("C:\\A\\")), QStringLiteral("C:\\A\\zelk-soft\\vintra\\timer.ini"));
#else
    QCOMPARE(appdata, dir.path() + "/");
    QCOMPARE(settingsFolder(appdata), dir.path() + "/zelk-soft/vintra/");
    QCOMPARE(settingsFilePath(appdata), dir.path() + "/zelk-soft/vintra/timer.ini");
#endif
}

QTEST_GUILESS_MAIN(TestSettingsCodec)
#include "tst_settingscodec.moc"
