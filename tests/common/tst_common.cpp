// The shared exception base and the handler runner: every failure the program raises can be
// caught as one type with its text intact, and a runner cannot be made empty.

#include "common/error.h"
#include "common/handlerrunner.h"
#include "settings/settingscodec.h"
#include "sound/soundchannel.h"
#include "workout/planformat.h"

#include <QTest>
#include <functional>
#include <stdexcept>

class TestCommon : public QObject {
    Q_OBJECT
private slots:
    void everyFailureIsOneErrorWithItsText_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("plan field") << 0 << QStringLiteral("'абв' is not a valid integer value");
        QTest::newRow("sound channel") << 1 << QStringLiteral("Файл «Отдых.wav» не открывается");
        QTest::newRow("settings file") << 2 << QStringLiteral("Text exceeds memo capacity");
    }
    void everyFailureIsOneErrorWithItsText()
    {
        QFETCH(int, kind);
        QFETCH(QString, message);
        try {
            switch (kind) {
            case 0: workout::strToInt(QStringLiteral("абв")); break;
            case 1: throw sound::MediaError(message);
            case 2: throw settings::SettingsError(message);
            }
            QFAIL("nothing was thrown");
        } catch (const vintra::Error &e) {
            QCOMPARE(e.message(), message);
            // What the error path reads from any std::exception is the same text.
            QCOMPARE(QString::fromUtf8(static_cast<const std::exception &>(e).what()), message);
        }
    }

    void runnerRunsTheHandlerThroughItsCallable()
    {
        QStringList steps;
        const vintra::HandlerRunner run([&](const std::function<void()> &handler) {
            steps << QStringLiteral("before");
            try {
                handler();
            } catch (const vintra::Error &e) {
                steps << e.message();
            }
            steps << QStringLiteral("after");
        });
        run([&] { steps << QStringLiteral("handler"); });
        run([] { throw sound::MediaError(QStringLiteral("No MCI device open")); });
        QCOMPARE(steps, (QStringList{"before", "handler", "after", "before", "No MCI device open", "after"}));

        // Copies run through the same callable.
        const vintra::HandlerRunner copy = run;
        copy([&] { steps << QStringLiteral("copy"); });
        QCOMPARE(steps.mid(6), (QStringList{"before", "copy", "after"}));
    }

    // A runner that would call nothing, or call handlers bare, is refused where it is wired.
    void runnerCannotBeEmpty()
    {
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument,
                                 vintra::HandlerRunner{std::function<void(const std::function<void()> &)>()});
        void (*none)(const std::function<void()> &) = nullptr;
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, vintra::HandlerRunner{none});
        QVERIFY(!std::is_default_constructible_v<vintra::HandlerRunner>);
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "tst_common.moc"
