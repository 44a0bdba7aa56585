// libFuzzer target for the settings codec: any bytes decode to seventeen clean lines or fail with
// the one decoding message, and what we write reads back as the same lines wherever the target
// encoding can hold them; values holding line breaks never add or move a line. Built and run by
// scripts/fuzz-settings.sh; not part of the test suite.

#include "settings/settingscodec.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace settings;

namespace {

[[noreturn]] void fail(const char *what, QByteArrayView input)
{
    std::fprintf(stderr, "invariant broken: %s (input of %lld bytes)\n", what, static_cast<long long>(input.size()));
    std::abort();
}

#define CHECK(cond, input)                                                                                             \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            fail(#cond, input);                                                                                        \
    } while (0)

QStringList withLoneSurrogatesReplaced(QStringList lines)
{
    for (QString &line : lines) {
        for (qsizetype i = 0; i < line.size(); ++i) {
            const QChar c = line[i];
            if (c.isHighSurrogate() && i + 1 < line.size() && line[i + 1].isLowSurrogate())
                ++i;
            else if (c.isSurrogate())
                line[i] = QChar::ReplacementCharacter;
        }
    }
    return lines;
}

// Every character of `original` comes back as itself or as one "?" (a surrogate pair as one "?").
bool sameOrQuestionMarks(const QString &original, const QString &back)
{
    qsizetype j = 0;
    for (qsizetype i = 0; i < original.size(); ++i, ++j) {
        if (j >= back.size())
            return false;
        const bool pair = original[i].isHighSurrogate() && i + 1 < original.size() && original[i + 1].isLowSurrogate();
        if (pair) {
            ++i;
            if (back[j] != u'?')
                return false;
        } else if (back[j] != original[i] && back[j] != u'?') {
            return false;
        }
    }
    return j == back.size();
}

// Values as the window may hold them (line breaks and NULs included): the input read as UTF-16
// units, one value per run between U+001E separators. Each must come back as what stands before
// its first CR, LF or NUL, and never move another value.
void checkValuesWithBreaks(QByteArrayView input)
{
    QString all(input.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < all.size(); ++i)
        all[i] = QChar(char16_t(uchar(input[2 * i]) | uchar(input[2 * i + 1]) << 8));
    const QStringList values = all.split(QChar(0x1E));
    QStringList expected;
    for (int i = 0; i < kLineCount; ++i) {
        QString v = i < values.size() ? values[i] : QString();
        const qsizetype nul = v.indexOf(QChar(0));
        if (nul >= 0)
            v.truncate(nul);
        expected << textBeforeLineBreak(v).left(kMaxLineUnits);
    }
    for (const TextEncoding target :
         {TextEncoding::Ansi, TextEncoding::Utf8, TextEncoding::Utf16LE, TextEncoding::Utf16BE}) {
        const QByteArray written = encode(values, target);
        // In UTF-16 a 0x0A byte can be half of any unit; the 8-bit forms have it only for LF.
        if (target == TextEncoding::Ansi || target == TextEncoding::Utf8)
            CHECK(written.count('\n') == kLineCount, input);
        if (target == TextEncoding::Ansi && detectEncoding(written) != TextEncoding::Ansi)
            continue;
        DecodeResult again;
        try {
            again = decode(written);
        } catch (const SettingsError &) {
            fail("values with breaks failed to decode", input);
        }
        CHECK(again.lines.size() == kLineCount, input);
        switch (target) {
        case TextEncoding::Utf16LE:
        case TextEncoding::Utf16BE: CHECK(again.lines == expected, input); break;
        case TextEncoding::Utf8: CHECK(again.lines == withLoneSurrogatesReplaced(expected), input); break;
        case TextEncoding::Ansi:
            for (int i = 0; i < kLineCount; ++i) {
                if (expected[i].size() < kMaxLineUnits)
                    CHECK(sameOrQuestionMarks(expected[i], again.lines[i]), input);
            }
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const TextEncoding detected = detectEncoding(input);
    // Long values add nothing here but time: the break handling does not depend on length.
    checkValuesWithBreaks(input.first(std::min<qsizetype>(input.size(), 2048)));

    DecodeResult read;
    try {
        read = decode(input);
    } catch (const SettingsError &e) {
        CHECK(e.message() == noMappingMessage(), input);
        CHECK(detected == TextEncoding::Utf8 || size == 3, input); // only after a mark
        CHECK(detected != TextEncoding::Ansi, input);
        return 0;
    }

    CHECK(read.encoding == detected, input);
    CHECK(read.lines.size() == kLineCount, input);
    for (const QString &line : read.lines) {
        CHECK(line.size() <= kMaxLineUnits, input);
        CHECK(!line.contains(u'\r') && !line.contains(u'\n') && !line.contains(QChar(0)), input);
    }

    for (const TextEncoding target :
         {TextEncoding::Ansi, TextEncoding::Utf8, TextEncoding::Utf16LE, TextEncoding::Utf16BE}) {
        const QByteArray written = encode(read.lines, target);
        CHECK(written.startsWith(encodingMark(target)), input);
        // Unmarked text whose first characters happen to form a mark cannot be told apart.
        if (target == TextEncoding::Ansi && detectEncoding(written) != TextEncoding::Ansi)
            continue;

        DecodeResult again;
        try {
            again = decode(written);
        } catch (const SettingsError &) {
            fail("our own output failed to decode", input);
        }
        CHECK(again.encoding == target, input);

        switch (target) {
        case TextEncoding::Utf16LE:
        case TextEncoding::Utf16BE: CHECK(again.lines == read.lines, input); break;
        case TextEncoding::Utf8: CHECK(again.lines == withLoneSurrogatesReplaced(read.lines), input); break;
        case TextEncoding::Ansi:
            if (read.encoding == TextEncoding::Ansi)
                CHECK(again.lines == read.lines, input);
            for (int i = 0; i < kLineCount; ++i)
                CHECK(sameOrQuestionMarks(read.lines[i], again.lines[i]), input);
            break;
        }
        // What we write is a fixed point: writing what we read back gives the same bytes.
        CHECK(encode(again.lines, target) == written, input);
    }
    return 0;
}
