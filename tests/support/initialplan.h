#pragma once

// The plan the window's layout starts with, in field order podg_m, podg_s, rabota_m, rabota_s,
// otdih_m, otdih_s, round, cycle: 10 s preparation, 20 s work, 10 s rest, 8 rounds, 1 cycle,
// 04:10 in all. The settings file lists these as its first eight lines.

#include <QString>
#include <QStringList>
#include <array>

inline std::array<QString, 8> initialPlanTexts()
{
    return {QStringLiteral("0"), QStringLiteral("10"), QStringLiteral("0"), QStringLiteral("20"),
            QStringLiteral("0"), QStringLiteral("10"), QStringLiteral("8"), QStringLiteral("1")};
}

inline QStringList initialPlanLines()
{
    const auto texts = initialPlanTexts();
    return QStringList(texts.begin(), texts.end());
}
