#pragma once

// The base of every exception the program raises itself. Failures end the handler they arise in
// and their message is shown as it stands in the window's error box (app/errorpath.h), so the
// message is kept as UTF-8 in what() and read back as text by message().

#include <QString>
#include <stdexcept>

namespace vintra {

class Error : public std::runtime_error {
public:
    explicit Error(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromUtf8(what()); }
};

} // namespace vintra
