#pragma once
// Test helpers: the odd things a settings path can name, made for real in a test's folder — a
// FIFO with a bounded rescue for a writer stuck on it, a listening Unix socket, a loop block
// device over a small file, and a small tmpfs.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace specialfiles {

inline QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// A FIFO at path. Opening a FIFO for writing waits for a reader: a save that opens it without
// care would hang the test for good. While the rescue lives, a watchdog opens the FIFO for
// reading once `bound` has passed, so such a save returns (and the test fails on its timing)
// instead of hanging; rescued() tells whether it had to.
class FifoRescue {
public:
    FifoRescue(const QString &fifo, std::chrono::milliseconds bound) : m_name(QFile::encodeName(fifo))
    {
        m_thread = std::thread([this, bound] {
            std::unique_lock lock(m_mutex);
            if (m_cv.wait_for(lock, bound, [this] { return m_done; }))
                return;
            m_rescued = true;
            const int reader = ::open(m_name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            m_cv.wait(lock, [this] { return m_done; }); // the stuck writer has returned
            if (reader >= 0)
                ::close(reader);
        });
    }
    ~FifoRescue() { finish(); }
    // Ends the watchdog; true when it had to open the FIFO to free a writer.
    bool finish()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return m_rescued;
    }

private:
    QByteArray m_name;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    bool m_rescued = false;
    std::thread m_thread;
};

inline bool makeFifo(const QString &path) { return ::mkfifo(QFile::encodeName(path).constData(), 0666) == 0; }

// A listening Unix socket bound at path, closed (and its name removed) with the object.
class UnixSocket {
public:
    explicit UnixSocket(const QString &path) : m_name(QFile::encodeName(path))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (size_t(m_name.size()) >= sizeof address.sun_path)
            return;
        std::memcpy(address.sun_path, m_name.constData(), size_t(m_name.size()));
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd >= 0 &&
            (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(m_fd, 1) != 0)) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~UnixSocket()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            ::unlink(m_name.constData());
        }
    }
    bool isValid() const { return m_fd >= 0; }

private:
    QByteArray m_name;
    int m_fd = -1;
};

// A loop block device over a small zero-filled file (root only), detached with the object.
// node() is a block special file made in the test's folder for the same device, so that a
// save gone wrong touches nothing under /dev.
class LoopDevice {
public:
    // On failure error() says why (no root, no losetup, no free loop device).
    LoopDevice(const QString &backingFile, const QString &nodePath)
    {
        if (::geteuid() != 0) {
            m_error = QStringLiteral("a loop device needs root");
            return;
        }
        const QString losetup = QStandardPaths::findExecutable("losetup", {"/usr/sbin", "/sbin", "/usr/bin"});
        if (losetup.isEmpty()) {
            m_error = QStringLiteral("losetup (package mount) is not installed");
            return;
        }
        QFile backing(backingFile);
        if (!backing.open(QIODevice::WriteOnly) || !backing.resize(64 * 1024)) {
            m_error = QStringLiteral("cannot make the backing file: ") + backing.errorString();
            return;
        }
        backing.close();
        QProcess attach;
        attach.start(losetup, {"--find", "--show", backingFile});
        if (!attach.waitForFinished(20000) || attach.exitCode() != 0) {
            m_error = QStringLiteral("losetup found no loop device: ") +
                      QString::fromLocal8Bit(attach.readAllStandardError()).trimmed();
            return;
        }
        m_device = QString::fromLocal8Bit(attach.readAllStandardOutput()).trimmed();
        m_losetup = losetup;
        struct stat device {};
        if (::stat(QFile::encodeName(m_device).constData(), &device) != 0 || !S_ISBLK(device.st_mode)) {
            m_error = m_device + QStringLiteral(" is not a block device");
            return;
        }
        if (::mknod(QFile::encodeName(nodePath).constData(), S_IFBLK | 0600, device.st_rdev) != 0) {
            m_error = QStringLiteral("mknod of a block node: ") + errnoText(errno);
            return;
        }
        m_node = nodePath;
    }
    ~LoopDevice()
    {
        if (!m_device.isEmpty()) {
            QProcess detach;
            detach.start(m_losetup, {"--detach", m_device});
            detach.waitForFinished(20000);
        }
    }
    bool isValid() const { return !m_node.isEmpty(); }
    QString error() const { return m_error; }
    QString node() const { return m_node; }
    // The device's first bytes, read through the device itself (what a write to it changed).
    QByteArray head(int size) const
    {
        QFile f(m_node);
        return f.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? f.read(size) : QByteArray("<unreadable>");
    }

private:
    QString m_losetup, m_device, m_node, m_error;
};

// A tmpfs mounted at mountPoint with the given options (root only), detached with the object.
class SmallTmpfs {
public:
    SmallTmpfs(const QString &mountPoint, const char *options) : m_point(QFile::encodeName(mountPoint))
    {
        if (::geteuid() != 0)
            m_error = QStringLiteral("mounting a small tmpfs needs root");
        else if (::mount("tmpfs", m_point.constData(), "tmpfs", 0, options) != 0)
            m_error = QStringLiteral("cannot mount tmpfs: ") + errnoText(errno);
        else
            m_mounted = true;
    }
    ~SmallTmpfs()
    {
        if (m_mounted)
            ::umount2(m_point.constData(), MNT_DETACH);
    }
    bool isValid() const { return m_mounted; }
    QString error() const { return m_error; }
    bool remountReadOnly()
    {
        return ::mount(nullptr, m_point.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    QByteArray m_point;
    QString m_error;
    bool m_mounted = false;
};

} // namespace specialfiles
