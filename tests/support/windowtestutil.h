#pragma once

// Helpers for tests that drive the real main window.

#include "app/appearance.h"
#include "app/errorpath.h"
#include "app/mainwindow.h"
#include "fakechannel.h"

#include <QApplication>
#include <QStringList>
#include <QWidget>

// Collects what the error box would have shown, instead of opening a modal box.
struct ErrorBoxRecorder {
    QStringList shown;
    ErrorBoxRecorder()
    {
        app::setErrorSinkForTests([this](const QString &text) { shown << text; });
    }
    ~ErrorBoxRecorder() { app::setErrorSinkForTests({}); }
};

template <class T = QWidget>
T *child(QWidget *root, const char *name)
{
    T *found = root->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child named %s", name);
    return found;
}

// Channels that play nothing, for window tests that do not listen.
inline TForm1::ChannelFactory fakeChannels(QStringList *journal = nullptr)
{
    return [journal](sound::Stream) { return std::make_unique<FakeChannel>(QStringLiteral("channel"), journal); };
}
