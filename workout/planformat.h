#pragma once

// Text formats of the timer tab and the conversion of plan field texts to numbers.

#include "common/error.h"

#include <QString>
#include <QtGlobal>

namespace workout {

// Raised when a plan field's text is no decimal number in the signed 32-bit range.
class ConvertError : public vintra::Error {
public:
    explicit ConvertError(const QString &text);
};

// Decimal text to a signed 32-bit number: an optional sign, then digits (leading zeros allowed).
// Nothing is trimmed. Anything else throws ConvertError("'<text>' is not a valid integer value").
qint32 strToInt(const QString &text);

// Minutes and seconds, "04:10": minutes get a leading zero below 10 and are never cut;
// both parts truncate toward zero, so negative values keep their signs.
QString minSecText(qint32 seconds);

// Counter rule for a field's text: one character gets a "0" in front, longer texts stay.
QString counterText(const QString &fieldText);

// Counter rule for a number: "0" in front of every value below 10 (so -1 reads "0-1").
QString counterNumber(qint32 value);

// Whether a typed character may reach a plan field: the ten digits and Backspace.
bool keyPasses(QChar typed);

// Signed 32-bit arithmetic that wraps around instead of overflowing.
inline qint32 wrapAdd(qint32 a, qint32 b) { return qint32(quint32(a) + quint32(b)); }
inline qint32 wrapMul(qint32 a, qint32 b) { return qint32(quint32(a) * quint32(b)); }

} // namespace workout
