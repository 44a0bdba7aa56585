#pragma once

// Helpers for tests that drive the real main window.

#include "app/appearance.h"
#include "app/errorpath.h"

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
