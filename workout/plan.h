#pragma once

// The workout plan: eight field texts in, six numbers and three displays out.

#include <QString>
#include <QtGlobal>
#include <array>

namespace workout {

enum class PlanField { podg_m, podg_s, rabota_m, rabota_s, otdih_m, otdih_s, round, cycle };
inline constexpr int kPlanFieldCount = 8;

// The order in which the recompute reads the fields (and START fills empty ones).
inline constexpr std::array<PlanField, kPlanFieldCount> kReadOrder = {
    PlanField::otdih_m,  PlanField::otdih_s,  PlanField::podg_m, PlanField::podg_s,
    PlanField::rabota_m, PlanField::rabota_s, PlanField::round,  PlanField::cycle};

struct PlanValues {
    qint32 podg_sec = 0;
    qint32 rabota_sec = 0;
    qint32 otdih_sec = 0;
    qint32 round_count = 0;
    qint32 cycle_count = 0;
    qint32 total_sec = 0;
};

// What the plan needs of the window: the field texts and the three displays.
class PlanView {
public:
    virtual ~PlanView() = default;
    virtual QString planText(PlanField field) const = 0;
    virtual void setPlanText(PlanField field, const QString &text) = 0;
    virtual void showTime(const QString &text) = 0;   // Label1
    virtual void showRounds(const QString &text) = 0; // sPanel4
    virtual void showCycles(const QString &text) = 0; // sPanel5
};

class Plan {
public:
    explicit Plan(PlanView &view) : m_view(view) {}

    // The recompute. Does nothing while a field is empty. A field that is no number throws
    // ConvertError; the values computed before it keep their new values, the rest and the
    // displays keep their old ones.
    void cycleChange();

    // Writes a number of seconds into the time display as minutes and seconds.
    void ShowMinSec(qint32 seconds);

    const PlanValues &values() const { return m_values; }

private:
    PlanView &m_view;
    PlanValues m_values;
};

} // namespace workout
