#pragma once

// Stands in for the browser: registered as the handler of https addresses, it records every
// address the program hands over and unregisters itself when it goes.

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    UrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open"); }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }

    QList<QUrl> opened;
    // The addresses as the program wrote them.
    QStringList openedTexts() const
    {
        QStringList texts;
        for (const QUrl &url : opened)
            texts << url.toString(QUrl::FullyEncoded);
        return texts;
    }

public slots:
    void open(const QUrl &url) { opened << url; }
};
