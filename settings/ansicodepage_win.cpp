// The ANSI code page on Windows is the system's own (1251 on a Russian Windows, 1252 on a Western
// one), converted by the system as every ANSI program's text is: undefined bytes decode as the
// system maps them, and characters the code page lacks encode through its best fit or its default
// character "?".
//
// Windows 10 and 11 can make UTF-8 the ANSI code page for the whole system ("Beta: Use Unicode
// UTF-8 for worldwide language support"), and users turn that on and off. A file written before
// holds bytes of the user locale's own code page, which the system still reports while UTF-8 is
// on (LOCALE_IDEFAULTANSICODEPAGE); decoded as UTF-8 its Cyrillic would become U+FFFD and be
// written back that way. So under UTF-8 text that is valid UTF-8 is read as such, anything else
// in the locale's code page; and what fits the locale's code page exactly is written in it, so
// the file also reads right once the option is off again. Only text that does not fit is written
// as UTF-8.

#include "settings/settingscodec.h"

#include <windows.h>

#include <climits>
#include <new>

namespace settings {

namespace {

// The system's functions count in int; the settings text is far below that (kMaxTextBytes), and
// anything larger is refused as the memory error it would become.
int countOrThrow(qsizetype n)
{
    if (n > INT_MAX / 2)
        throw std::bad_alloc();
    return int(n);
}

// The code page of the user's locale for programs that are not Unicode. A locale that has none
// (a Unicode-only one, such as Hindi) gets Windows-1251, the code page the file format comes from.
UINT localeAnsiCodePage()
{
    DWORD codePage = 0;
    const int got = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                                    reinterpret_cast<LPWSTR>(&codePage), sizeof codePage / sizeof(wchar_t));
    if (got == 0 || codePage == CP_ACP || codePage == CP_UTF8 || !IsValidCodePage(codePage))
        return 1251;
    return codePage;
}

// False only when `flags` asks for strictness (MB_ERR_INVALID_CHARS) and the bytes break it.
bool decodeIn(UINT codePage, DWORD flags, QByteArrayView bytes, QString *out)
{
    const int in = countOrThrow(bytes.size());
    const int units = MultiByteToWideChar(codePage, flags, bytes.data(), in, nullptr, 0);
    if (units == 0)
        return false;
    out->resize(units);
    MultiByteToWideChar(codePage, flags, bytes.data(), in, reinterpret_cast<wchar_t *>(out->data()), units);
    return true;
}

// `exact`, when given, asks for no best fit and says whether every character had its own bytes.
QByteArray encodeIn(UINT codePage, QStringView text, bool *exact = nullptr)
{
    const int in = countOrThrow(text.size());
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const DWORD flags = exact != nullptr ? WC_NO_BEST_FIT_CHARS : 0;
    BOOL defaulted = FALSE;
    BOOL *usedDefault = exact != nullptr ? &defaulted : nullptr;
    const int bytes = WideCharToMultiByte(codePage, flags, wide, in, nullptr, 0, nullptr, usedDefault);
    QByteArray out(bytes, Qt::Uninitialized);
    WideCharToMultiByte(codePage, flags, wide, in, out.data(), bytes, nullptr, usedDefault);
    if (exact != nullptr)
        *exact = bytes != 0 && !defaulted;
    return out;
}

} // namespace

QString ansiToUnicode(QByteArrayView bytes)
{
    QString s;
    if (bytes.isEmpty())
        return s;
    if (GetACP() != CP_UTF8) {
        decodeIn(CP_ACP, 0, bytes, &s);
        return s;
    }
    if (!decodeIn(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, &s))
        decodeIn(localeAnsiCodePage(), 0, bytes, &s);
    return s;
}

QByteArray unicodeToAnsi(QStringView text)
{
    if (text.isEmpty())
        return {};
    if (GetACP() != CP_UTF8)
        return encodeIn(CP_ACP, text);
    bool exact = false;
    const QByteArray local = encodeIn(localeAnsiCodePage(), text, &exact);
    return exact ? local : encodeIn(CP_UTF8, text);
}

} // namespace settings
