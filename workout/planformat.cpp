#include "workout/planformat.h"

namespace workout {

ConvertError::ConvertError(const QString &text)
    : vintra::Error(QStringLiteral("'%1' is not a valid integer value").arg(text))
{
}

qint32 strToInt(const QString &text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        throw ConvertError(text);
    // The magnitude is gathered in 64 bits: it may reach 2^31 (for -2147483648), one past the
    // largest positive value, and stopping as soon as it passes 2^31 keeps it from overflowing.
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            throw ConvertError(text);
        value = value * 10 + (c - u'0');
        if (value > qint64(1) << 31)
            throw ConvertError(text);
    }
    if (!negative && value > 2147483647)
        throw ConvertError(text);
    return qint32(negative ? -value : value);
}

QString minSecText(qint32 seconds)
{
    const qint32 minutes = seconds / 60;
    const qint32 rest = seconds % 60;
    QString text = minutes < 10 ? QStringLiteral("0") + QString::number(minutes) : QString::number(minutes);
    text += rest < 10 ? QStringLiteral(":0") : QStringLiteral(":");
    return text + QString::number(rest);
}

QString counterText(const QString &fieldText)
{
    return fieldText.size() == 1 ? QStringLiteral("0") + fieldText : fieldText;
}

QString counterNumber(qint32 value)
{
    return value < 10 ? QStringLiteral("0") + QString::number(value) : QString::number(value);
}

bool keyPasses(QChar typed)
{
    const char16_t c = typed.unicode();
    return (c >= u'0' && c <= u'9') || c == 8;
}

} // namespace workout
