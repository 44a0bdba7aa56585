// The plan's arithmetic and the display formats, without a window.

#include "initialplan.h"
#include "workout/plan.h"
#include "workout/planformat.h"

#include <QTest>
#include <array>

using workout::PlanField;

namespace {

class RecordingPlanView : public workout::PlanView {
public:
    std::array<QString, 8> text = initialPlanTexts();
    QString time = "old", rounds = "old", cycles = "old";
    QStringList writes;

    QString planText(PlanField f) const override { return text[int(f)]; }
    void setPlanText(PlanField f, const QString &t) override { text[int(f)] = t; }
    void showTime(const QString &t) override
    {
        time = t;
        writes << "time";
    }
    void showRounds(const QString &t) override
    {
        rounds = t;
        writes << "rounds";
    }
    void showCycles(const QString &t) override
    {
        cycles = t;
        writes << "cycles";
    }
};

} // namespace

class TestPlan : public QObject {
    Q_OBJECT

private slots:
    void minSecFormat_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("initial total") << 250 << "04:10";
        QTest::newRow("zero") << 0 << "00:00";
        QTest::newRow("under a minute") << 59 << "00:59";
        QTest::newRow("ten minutes") << 600 << "10:00";
        QTest::newRow("minutes never cut") << 125 * 60 + 7 << "125:07";
        QTest::newRow("seconds above 59 in a field") << 90 << "01:30";
        // Truncation toward zero keeps the sign on both parts.
        QTest::newRow("minus one") << -1 << "00:0-1";
        QTest::newRow("minus 61") << -61 << "0-1:0-1";
        QTest::newRow("minus ten minutes") << -600 << "0-10:00";
        QTest::newRow("largest") << 2147483647 << "35791394:07";
        QTest::newRow("smallest") << int(-2147483648LL) << "0-35791394:0-8";
    }
    void minSecFormat()
    {
        QFETCH(int, seconds);
        QFETCH(QString, text);
        QCOMPARE(workout::minSecText(seconds), text);
    }

    void counterRules()
    {
        QCOMPARE(workout::counterText("8"), "08");
        QCOMPARE(workout::counterText("0"), "00");
        QCOMPARE(workout::counterText("12"), "12");
        QCOMPARE(workout::counterText("008"), "008");
        QCOMPARE(workout::counterText(""), "");
        QCOMPARE(workout::counterNumber(7), "07");
        QCOMPARE(workout::counterNumber(0), "00");
        QCOMPARE(workout::counterNumber(12), "12");
        QCOMPARE(workout::counterNumber(125), "125");
        QCOMPARE(workout::counterNumber(-1), "0-1");
        QCOMPARE(workout::counterNumber(-12), "0-12");
    }

    void conversion()
    {
        QCOMPARE(workout::strToInt("008"), 8);
        QCOMPARE(workout::strToInt("2147483647"), 2147483647);
        QCOMPARE(workout::strToInt("-2147483648"), int(-2147483648LL));
        QCOMPARE(workout::strToInt("-5"), -5);
        QCOMPARE(workout::strToInt("00000000000000000042"), 42);
        for (const char *bad :
             {"2147483648", "9999999999", "-2147483649", "abc", " 5", "5 ", "", "-", "1.5", "0x10", "١"}) {
            try {
                workout::strToInt(QString::fromUtf8(bad));
                QFAIL(bad);
            } catch (const workout::ConvertError &e) {
                QCOMPARE(e.message(), QStringLiteral("'%1' is not a valid integer value").arg(QString::fromUtf8(bad)));
            }
        }
    }

    void keyFilter()
    {
        for (char c = '0'; c <= '9'; ++c)
            QVERIFY(workout::keyPasses(QChar(c)));
        QVERIFY(workout::keyPasses(QChar(8)));
        for (char16_t c :
             {u'.', u',', u'-', u'+', u' ', u'a', u'Я', u'\r', u'\t', char16_t(0x16), char16_t(0x7f), u'٣'})
            QVERIFY2(!workout::keyPasses(QChar(c)), qPrintable(QString::number(c)));
    }

    void initialPlan()
    {
        RecordingPlanView view;
        workout::Plan plan(view);
        plan.cycleChange();
        const auto &v = plan.values();
        QCOMPARE(v.podg_sec, 10);
        QCOMPARE(v.rabota_sec, 20);
        QCOMPARE(v.otdih_sec, 10);
        QCOMPARE(v.round_count, 8);
        QCOMPARE(v.cycle_count, 1);
        QCOMPARE(v.total_sec, 250);
        QCOMPARE(view.time, "04:10");
        QCOMPARE(view.rounds, "08");
        QCOMPARE(view.cycles, "01");
        // Time first, then cycles, then rounds.
        QCOMPARE(view.writes, QStringList({"time", "cycles", "rounds"}));
    }

    void emptyFieldChangesNothing()
    {
        for (int f = 0; f < 8; ++f) {
            RecordingPlanView view;
            workout::Plan plan(view);
            plan.cycleChange();
            view.writes.clear();
            view.text[f] = "";
            view.text[int(PlanField::round)] = f == int(PlanField::round) ? "" : "3";
            plan.cycleChange();
            QVERIFY(view.writes.isEmpty());
            QCOMPARE(plan.values().total_sec, 250);
            QCOMPARE(plan.values().round_count, 8);
        }
    }

    void roundsAndOddTexts()
    {
        RecordingPlanView view;
        workout::Plan plan(view);
        view.text[int(PlanField::round)] = "008";
        plan.cycleChange();
        QCOMPARE(plan.values().round_count, 8);
        QCOMPARE(view.rounds, "008");
        view.text[int(PlanField::round)] = "0";
        plan.cycleChange();
        QCOMPARE(plan.values().total_sec, 10);
        QCOMPARE(view.rounds, "00");
        view.text[int(PlanField::podg_s)] = "90";
        plan.cycleChange();
        QCOMPARE(view.time, "01:30");
    }

    // A failing field leaves the values computed before it, including a pair's minutes * 60,
    // and keeps the later values and all displays.
    void failureKeepsPartialValues()
    {
        RecordingPlanView view;
        workout::Plan plan(view);
        plan.cycleChange();
        view.writes.clear();
        view.text[int(PlanField::otdih_m)] = "1";
        view.text[int(PlanField::podg_m)] = "2";
        view.text[int(PlanField::podg_s)] = "9999999999";
        view.text[int(PlanField::rabota_s)] = "30";
        view.text[int(PlanField::round)] = "4";
        QVERIFY_THROWS_EXCEPTION(workout::ConvertError, plan.cycleChange());
        const auto &v = plan.values();
        QCOMPARE(v.otdih_sec, 70);  // computed before the failure
        QCOMPARE(v.podg_sec, 120);  // minutes stored, seconds failed
        QCOMPARE(v.rabota_sec, 20); // later: old values
        QCOMPARE(v.round_count, 8);
        QCOMPARE(v.total_sec, 250);
        QVERIFY(view.writes.isEmpty());
    }

    void arithmeticWraps()
    {
        RecordingPlanView view;
        workout::Plan plan(view);
        view.text = {"0", "0", "0", "2147483647", "0", "1", "2", "1"};
        plan.cycleChange();
        // (1 + 2147483647) * 2 wraps to 0.
        QCOMPARE(plan.values().total_sec, 0);
        view.text = {"35791395", "0", "0", "1", "0", "1", "1", "1"};
        plan.cycleChange();
        QCOMPARE(plan.values().podg_sec, int(qint64(35791395) * 60 - (qint64(1) << 32)));
    }
};

QTEST_GUILESS_MAIN(TestPlan)
#include "tst_plan.moc"
