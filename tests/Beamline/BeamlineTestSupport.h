#pragma once

// Helpers for the transmitter tests: waiting on the main event loop, and small real pictures
// (H.264 access units from libavcodec, JPEG from TurboJPEG) to stream to the receiver
// emulator.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QThread>
#include <functional>
#include <memory>
#include <vector>

// Runs the main event loop until `done` holds or `timeoutMs` passes; returns `done()`.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop for `ms` milliseconds.
inline void spin(int ms)
{
    waitUntil([] { return false; }, ms);
}

// A picture whose left half is white and right half black.
QImage halfWhitePicture(int width, int height);

// Encodes `count` frames of `picture` as H.264 (Annex-B access units, parameter sets in
// front of the key frame). Empty when no H.264 encoder is available.
std::vector<QByteArray> encodeH264(const QImage& picture, int count);

QByteArray encodeJpeg(const QImage& picture, int quality = 85);
