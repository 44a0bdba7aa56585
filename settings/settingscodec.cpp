#include "settings/settingscodec.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QtEndian>

#include <algorithm>
#include <new>

namespace settings {

QString noMappingMessage()
{
    return QStringLiteral("No mapping for the Unicode character exists in the target multi-byte code page");
}
QString memoCapacityMessage() { return QStringLiteral("Text exceeds memo capacity"); }
QString writeErrorMessage() { return QStringLiteral("Stream write error"); }
QString readErrorMessage() { return QStringLiteral("Stream read error"); }

QString cannotOpenMessage(const QString &fullPath, const QString &reason)
{
    return QStringLiteral("Cannot open file \"%1\". %2").arg(fullPath, reason);
}

QString cannotCreateMessage(const QString &fullPath, const QString &reason)
{
    return QStringLiteral("Cannot create file \"%1\". %2").arg(fullPath, reason);
}

namespace {

const QByteArray kUtf8Mark("\xEF\xBB\xBF", 3);
const QByteArray kUtf16LEMark("\xFF\xFE", 2);
const QByteArray kUtf16BEMark("\xFE\xFF", 2);

QString utf16ToString(QByteArrayView body, bool littleEndian)
{
    const qsizetype units = body.size() / 2; // an odd last byte is ignored
    QString s(units, Qt::Uninitialized);
    if (littleEndian)
        qFromLittleEndian<quint16>(body.data(), units, s.data());
    else
        qFromBigEndian<quint16>(body.data(), units, s.data());
    return s;
}

QStringList splitLines(QStringView text)
{
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0)
        text = text.first(nul);

    QStringList lines;
    lines.reserve(kLineCount);
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (lines.size() < kLineCount && i < n) {
        const qsizetype start = i;
        while (i < n && text[i] != u'\r' && text[i] != u'\n')
            ++i;
        lines.append(text.sliced(start, std::min(i - start, kMaxLineUnits)).toString());
        if (i < n)
            i += (text[i] == u'\r' && i + 1 < n && text[i + 1] == u'\n') ? 2 : 1;
    }
    while (lines.size() < kLineCount)
        lines.append(QString());
    return lines;
}

} // namespace

TextEncoding detectEncoding(QByteArrayView bytes)
{
    if (bytes.startsWith(kUtf8Mark))
        return TextEncoding::Utf8;
    if (bytes.startsWith(kUtf16LEMark))
        return TextEncoding::Utf16LE;
    if (bytes.startsWith(kUtf16BEMark))
        return TextEncoding::Utf16BE;
    return TextEncoding::Ansi;
}

QByteArray encodingMark(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8: return kUtf8Mark;
    case TextEncoding::Utf16LE: return kUtf16LEMark;
    case TextEncoding::Utf16BE: return kUtf16BEMark;
    case TextEncoding::Ansi: break;
    }
    return {};
}

QStringList decodeLines(QByteArrayView body, TextEncoding encoding)
{
    if (body.size() > kMaxTextBytes)
        throw SettingsError(memoCapacityMessage());
    try {
        switch (encoding) {
        case TextEncoding::Ansi: return splitLines(ansiToUnicode(body));
        case TextEncoding::Utf8: {
            // A second mark right after the first is text (U+FEFF), not something to skip.
            QStringDecoder decoder(QStringDecoder::Utf8,
                                   QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
            const QString text = decoder(body);
            if (decoder.hasError())
                throw SettingsError(noMappingMessage());
            return splitLines(text);
        }
        case TextEncoding::Utf16LE:
        case TextEncoding::Utf16BE:
            if (body.size() == 1)
                throw SettingsError(noMappingMessage());
            return splitLines(utf16ToString(body, encoding == TextEncoding::Utf16LE));
        }
    } catch (const std::bad_alloc &) {
        throw SettingsError(memoCapacityMessage());
    }
    return splitLines(QString());
}

DecodeResult decode(QByteArrayView bytes)
{
    DecodeResult result;
    result.encoding = detectEncoding(bytes);
    result.lines = decodeLines(bytes.sliced(encodingMark(result.encoding).size()), result.encoding);
    return result;
}

QString textBeforeLineBreak(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' || text[i] == u'\n')
            return text.first(i).toString();
    }
    return text.toString();
}

QByteArray encode(const QStringList &lines, TextEncoding encoding)
{
    QString text;
    for (int i = 0; i < kLineCount; ++i) {
        if (i < lines.size()) {
            const QString &line = lines[i];
            qsizetype end = 0;
            while (end < line.size() && line[end] != u'\r' && line[end] != u'\n' && line[end] != QChar(0))
                ++end;
            text += QStringView(line).first(end);
        }
        text += u"\r\n";
    }

    QByteArray out = encodingMark(encoding);
    switch (encoding) {
    case TextEncoding::Ansi: out += unicodeToAnsi(text); break;
    case TextEncoding::Utf8: {
        QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
        out += QByteArray(encoder(text)); // lone surrogates come out as U+FFFD
        break;
    }
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE: {
        // Units are copied as they are, lone surrogates included, so anything read comes back.
        const qsizetype start = out.size();
        out.resize(start + text.size() * 2);
        if (encoding == TextEncoding::Utf16LE)
            qToLittleEndian<quint16>(text.constData(), text.size(), out.data() + start);
        else
            qToBigEndian<quint16>(text.constData(), text.size(), out.data() + start);
        break;
    }
    }
    return out;
}

} // namespace settings
