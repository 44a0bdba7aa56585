#pragma once

// Bytes of the settings file <-> its seventeen lines, and the text encoding they were read in.
// Pure functions: no files, no widgets, so they can be tested and fuzzed on their own.
//
// Reading rules:
//  - the first bytes decide the encoding, tested in this order: EF BB BF UTF-8, FF FE UTF-16LE,
//    FE FF UTF-16BE, else the ANSI code page (see ansiToUnicode) from the first byte on;
//    the mark is not part of the text;
//  - CR LF, a lone CR and a lone LF each end a line (LF CR is two breaks); text after the last
//    break is a last line of its own;
//  - a NUL ends the text; lines past the seventeenth are ignored; a missing line reads as empty;
//  - a line keeps its first kMaxLineUnits UTF-16 units; nothing is trimmed or validated.
// Written form: the encoding's mark (none for ANSI), then exactly seventeen lines, each + CR LF.

#include "common/error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace settings {

inline constexpr int kLineCount = 17;
inline constexpr qsizetype kMaxLineUnits = 4096;
// Larger texts are refused as "Text exceeds memo capacity" instead of exhausting memory.
inline constexpr qsizetype kMaxTextBytes = qsizetype(1) << 30;

// Failures of the settings file; what() is the UTF-8 text the user sees.
class SettingsError : public vintra::Error {
public:
    using vintra::Error::Error;
};

// The user-visible messages, exactly as shown.
QString noMappingMessage();    // undecodable text after a UTF-8 or UTF-16 mark
QString memoCapacityMessage(); // decoded text too large to hold
QString writeErrorMessage();   // writing stopped part-way
QString readErrorMessage();    // reading stopped part-way after a successful open
QString cannotOpenMessage(const QString &fullPath, const QString &reason);
QString cannotCreateMessage(const QString &fullPath, const QString &reason);

enum class TextEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

// The encoding the file's first bytes announce (Ansi when they announce none).
TextEncoding detectEncoding(QByteArrayView bytes);
// The byte-order mark written before the text (empty for Ansi).
QByteArray encodingMark(TextEncoding encoding);

// Decodes the text that follows the mark (the mark itself already removed) into exactly
// kLineCount lines. Throws SettingsError(noMappingMessage()) for invalid UTF-8 (overlong forms,
// surrogates, truncated or out-of-range sequences) and for a UTF-16 body of exactly one byte;
// lone surrogates in UTF-16 pass as they are. Throws SettingsError(memoCapacityMessage()) when
// the body is larger than kMaxTextBytes or memory runs out.
QStringList decodeLines(QByteArrayView body, TextEncoding encoding);

struct DecodeResult {
    QStringList lines; // always kLineCount entries
    TextEncoding encoding = TextEncoding::Ansi;
};

// detectEncoding + decodeLines on a whole file's bytes. When it throws, the encoding was still
// decided; callers that must remember it call detectEncoding first (see SettingsFile::load).
DecodeResult decode(QByteArrayView bytes);

// The file's bytes for these lines: the mark, then the first kLineCount lines (missing ones
// empty), each followed by CR LF. A line is written up to its first CR, LF or NUL: any of them
// inside a value would end it early when read back and move every later line (or, for NUL, end
// the text), so the file always reads back as the same seventeen values. Otherwise lines are
// written as they are. In UTF-8 a lone surrogate becomes U+FFFD; in ANSI every code point the
// code page lacks becomes one "?".
QByteArray encode(const QStringList &lines, TextEncoding encoding);

// What a single-line field keeps of text given to it: everything before its first CR or LF.
QString textBeforeLineBreak(QStringView text);

// The ANSI code page, one implementation per platform (ansicodepage_posix.cpp, _win.cpp): on
// Windows the system's own code page and conversion; elsewhere Windows-1251 from our own table,
// where every byte decodes (the undefined 0x98 to the control character of the same code) and a
// character the code page lacks encodes as one "?".
QString ansiToUnicode(QByteArrayView bytes);
QByteArray unicodeToAnsi(QStringView text);

} // namespace settings
