#pragma once

// The program's one window. It owns every control (from mainwindow.ui and the forms applied
// onto its pages), the plan, and connects each control's events to its handler through the
// error path.

#include "workout/plan.h"

#include <QWidget>
#include <memory>

namespace Ui {
class TForm1;
}
class QComboBox;

class TForm1 : public QWidget, public workout::PlanView {
    Q_OBJECT

public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // Handlers, named after their component and event.
    void FormCreate();
    void FormClose();
    void cycleChange();
    void podg_mKeyPress(QChar &key);
    void ShowMinSec(qint32 seconds);
    void sCheckBox1Click();
    void sTabSheet1Show();

    enum class Stacking { Normal, StayOnTop };
    Stacking stacking() const { return m_stacking; }

    // First showing: placed centred on the whole desktop, timer tab active.
    void showFirstTime();

    const workout::PlanValues &plan() const { return m_plan.values(); }

    // workout::PlanView
    QString planText(workout::PlanField field) const override;
    void setPlanText(workout::PlanField field, const QString &text) override;
    void showTime(const QString &text) override;
    void showRounds(const QString &text) override;
    void showCycles(const QString &text) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void requestStacking(Stacking stacking);
    void placeOnDesktop();
    QComboBox *planField(workout::PlanField field) const;

    std::unique_ptr<Ui::TForm1> ui;
    workout::Plan m_plan;
    Stacking m_stacking = Stacking::StayOnTop;
    QMargins m_placedWithFrame;
};

// The one window, set before any of its creation code runs.
extern TForm1 *Form1;
