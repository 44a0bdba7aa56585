// libFuzzer target for the settings codec: any bytes decode to seventeen clean lines or fail with
// the one decoding message, and what we write reads back as the same lines wherever the target
// encoding can hold them. Built and run by scripts/fuzz-settings.sh; not part of the test suite.

#include "settings/settingscodec.h"

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

#define CHECK(cond, input)                                                                                            \
    do {                                                                                                              \
        if (!(cond))                                                                                                  \
            fail(#cond, input);                                                                                       \
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const TextEncoding detected = detectEncoding(input);

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
        case TextEncoding::Utf16BE:
            CHECK(again.lines == read.lines, input);
            break;
        case TextEncoding::Utf8:
            CHECK(again.lines == withLoneSurrogatesReplaced(read.lines), input);
            break;
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
