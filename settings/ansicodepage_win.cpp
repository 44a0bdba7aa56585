// The ANSI code page on Windows is the system's own (1251 on a Russian Windows, 1252 on a Western
// one), converted by the system as every ANSI program's text is: undefined bytes decode as the
// system maps them, and characters the code page lacks encode through its best fit or its default
// character "?".

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

} // namespace

QString ansiToUnicode(QByteArrayView bytes)
{
    const int in = countOrThrow(bytes.size());
    if (in == 0)
        return {};
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), in, nullptr, 0);
    QString s(units, Qt::Uninitialized);
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), in, reinterpret_cast<wchar_t *>(s.data()), units);
    return s;
}

QByteArray unicodeToAnsi(QStringView text)
{
    const int in = countOrThrow(text.size());
    if (in == 0)
        return {};
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, in, nullptr, 0, nullptr, nullptr);
    QByteArray out(bytes, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, 0, wide, in, out.data(), bytes, nullptr, nullptr);
    return out;
}

} // namespace settings
