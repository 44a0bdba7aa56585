#include "workout/plan.h"

#include "workout/planformat.h"

namespace workout {

void Plan::cycleChange()
{
    std::array<QString, kPlanFieldCount> text;
    for (PlanField field : kReadOrder) {
        text[int(field)] = m_view.planText(field);
        if (text[int(field)].isEmpty())
            return;
    }
    auto number = [&](PlanField field) { return strToInt(text[int(field)]); };
    // Each pair stores minutes * 60 before the seconds are converted, so a failing seconds
    // field leaves that partial value behind, as the stored plan always has.
    auto pair = [&](qint32 &target, PlanField minutes, PlanField seconds) {
        target = wrapMul(number(minutes), 60);
        target = wrapAdd(target, number(seconds));
    };
    pair(m_values.otdih_sec, PlanField::otdih_m, PlanField::otdih_s);
    pair(m_values.podg_sec, PlanField::podg_m, PlanField::podg_s);
    pair(m_values.rabota_sec, PlanField::rabota_m, PlanField::rabota_s);
    m_values.round_count = number(PlanField::round);
    m_values.cycle_count = number(PlanField::cycle);
    m_values.total_sec = wrapAdd(
        wrapMul(wrapMul(wrapAdd(m_values.otdih_sec, m_values.rabota_sec), m_values.round_count), m_values.cycle_count),
        m_values.podg_sec);

    ShowMinSec(m_values.total_sec);
    m_view.showCycles(counterText(text[int(PlanField::cycle)]));
    m_view.showRounds(counterText(text[int(PlanField::round)]));
}

void Plan::ShowMinSec(qint32 seconds) { m_view.showTime(minSecText(seconds)); }

} // namespace workout
