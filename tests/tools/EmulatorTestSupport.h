#pragma once

#include "Support/FrameCodec.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <chrono>
#include <functional>
#include <optional>

// Runs the event loop until `condition` holds or the time is up.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

inline void runEventsFor(std::chrono::milliseconds duration)
{
    waitUntil([] { return false; }, duration);
}

// A plain framed client, standing in for the application side of the link.
class FrameClient
{
public:
    bool connectTo(const QHostAddress& address, quint16 port)
    {
        m_socket.connectToHost(address, port);
        return waitUntil([&] { return m_socket.state() == QAbstractSocket::ConnectedState; },
                         std::chrono::seconds(5));
    }
    void send(const QByteArray& body) { m_socket.write(FrameCodec::encode(body)); }
    void sendRaw(const QByteArray& bytes) { m_socket.write(bytes); }
    // The next whole frame, or nothing when none arrives in time or the stream is broken.
    std::optional<QByteArray> nextFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        QByteArray frame;
        const bool got = waitUntil(
            [&] {
                m_decoder.append(m_socket.readAll());
                return m_decoder.next(frame) == FrameCodec::Decoder::Status::Frame;
            },
            timeout);
        return got ? std::optional<QByteArray>(frame) : std::nullopt;
    }
    QByteArray readAllRaw(std::chrono::milliseconds wait)
    {
        runEventsFor(wait);
        return m_socket.readAll();
    }
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        return waitUntil([&] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeout);
    }
    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    FrameCodec::Decoder m_decoder;
};
