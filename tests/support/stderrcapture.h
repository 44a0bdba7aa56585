#pragma once
// Test helper: catches what this process writes to stderr, for suites that check the program's
// one-line reports.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <unistd.h>

// Sends this process's stderr to a file while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const QString &path) : m_path(path)
    {
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        FILE *f = std::fopen(QFile::encodeName(path).constData(), "w");
        dup2(fileno(f), STDERR_FILENO);
        std::fclose(f);
    }
    QByteArray finish()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
        }
        QFile f(m_path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    ~StderrCapture() { finish(); }

private:
    QString m_path;
    int m_saved = -1;
};
