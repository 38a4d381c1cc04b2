#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// One short-lived client connection to the sound server (PulseAudio, or PipeWire's pulse
// server), driven synchronously on the calling thread. Every call waits at most the
// connection's timeout; a server that does not answer in time gives an error, never a hang.
// The server is the one libpulse finds ($PULSE_SERVER, else the user's); none is ever spawned.
class PulseConnection
{
public:
    struct Sink
    {
        std::uint32_t index = 0;
        QString name;
        QString description;
        QString monitorSourceName;
    };
    struct Source
    {
        std::uint32_t index = 0;
        QString name;
        QString description;
        std::optional<std::uint32_t> monitorOfSink; // set for the monitor source of a sink
    };
    struct ServerInfo
    {
        QString defaultSinkName;
        QString defaultSourceName;
    };
    struct Module
    {
        std::uint32_t index = 0;
        QString name;
        QString argument;
    };

    static constexpr std::chrono::milliseconds kDefaultTimeout{3000};

    // Null with `error` filled when no server answers.
    static std::unique_ptr<PulseConnection> connect(QString* error,
                                                    std::chrono::milliseconds timeout = kDefaultTimeout);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Each returns nothing (or false) and fills `error` on failure. `code` receives the
    // server's error number where there is one.
    std::optional<std::vector<Sink>> sinks(QString* error, int* code = nullptr);
    std::optional<std::vector<Source>> sources(QString* error, int* code = nullptr);
    std::optional<ServerInfo> serverInfo(QString* error, int* code = nullptr);
    bool setDefaultSink(const QString& name, QString* error, int* code = nullptr);
    bool setDefaultSource(const QString& name, QString* error, int* code = nullptr);
    std::optional<std::uint32_t> loadModule(const QString& name, const QString& argument, QString* error);
    bool unloadModule(std::uint32_t index, QString* error);
    std::optional<Module> module(std::uint32_t index, QString* error);

    struct Impl;

private:
    explicit PulseConnection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
