#pragma once
// Test helper: catches the lines the audio back end prints by default (category `vintra.audio`,
// info and above) through Qt's message handler, from whichever thread they come. They still go
// on to the handler that was there before (Qt Test's log).

#include <QMessageLogContext>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstring>
#include <mutex>

class AudioLogCatcher {
public:
    AudioLogCatcher()
    {
        std::lock_guard guard(lock());
        current() = this;
        previous() = qInstallMessageHandler(&handle);
    }
    ~AudioLogCatcher() { finish(); }
    AudioLogCatcher(const AudioLogCatcher &) = delete;
    AudioLogCatcher &operator=(const AudioLogCatcher &) = delete;

    // The lines so far; stops catching.
    QStringList finish()
    {
        std::lock_guard guard(lock());
        if (current() == this) {
            qInstallMessageHandler(previous());
            current() = nullptr;
        }
        return m_lines;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        QtMessageHandler next = nullptr;
        {
            std::lock_guard guard(lock());
            if (current() && type != QtDebugMsg && context.category &&
                std::strcmp(context.category, "vintra.audio") == 0)
                current()->m_lines << message;
            next = previous();
        }
        if (next)
            next(type, context, message);
    }
    static std::mutex &lock()
    {
        static std::mutex m;
        return m;
    }
    static AudioLogCatcher *&current()
    {
        static AudioLogCatcher *c = nullptr;
        return c;
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler h = nullptr;
        return h;
    }

    QStringList m_lines;
};
