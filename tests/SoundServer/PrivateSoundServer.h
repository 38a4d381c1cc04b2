#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <sys/types.h>

// A PulseAudio server of the test's own: a private runtime directory, home and state, its
// socket in a temporary directory, no D-Bus, no X11, no user session touched. start() sets
// PULSE_SERVER for this process (and so for its children), so libpulse and Qt Multimedia
// talk to it; it must run before Qt Multimedia is first used. The server starts with a
// "Speakers" sink and a "Microphone" source as the defaults.
//
// The server is stopped when this object goes away, or when the test process dies.
class PrivateSoundServer
{
public:
    PrivateSoundServer();
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // False with `error` filled when no server could be started.
    bool start(QString* error);
    bool running() const { return m_pid > 0; }
    QByteArray serverAddress() const { return m_address; }
    // A directory for the test's own files (state files, recordings).
    QString workDirectory() const { return m_dir.path(); }

    // Runs pactl against the server; the standard output, or nothing with `ok` false.
    QString pactl(const QStringList& arguments, bool* ok = nullptr) const;
    QString defaultSink() const;
    QString defaultSource() const;
    // Sink or source names currently on the server.
    QStringList sinkNames() const;
    QStringList sourceNames() const;

    // Plays `seconds` of a sine tone (16-bit stereo at 44,100 Hz) to `sink` (the default sink
    // when empty) in the background; returns the player's process id, or -1.
    pid_t playTone(double frequency, double seconds, const QString& sink = {}) const;

private:
    QTemporaryDir m_dir;
    pid_t m_pid = -1;
    QByteArray m_address;
};
