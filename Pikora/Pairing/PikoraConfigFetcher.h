#pragma once

// Fetches a receiver's "pikora_config.json" over HTTP: port 80 first, then once port 8080
// when the first gives no body. The transfer runs on Qt's HTTP thread; completions arrive on
// the fetcher's thread (the main thread in the product).
//
// Every fetch: a 6 s limit on the whole transfer, no cache, status 200 only, the body capped
// while it streams in (a larger body aborts the transfer), redirects followed only to the
// same host, and never through a proxy (receivers are on the local network).

#include "Beamline/KPJSONRPC.h"
#include "Pikora/Pairing/PairingError.h"
#include "Pikora/Pairing/PikoraConfig.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <optional>

class QNetworkAccessManager;

// Where and how PikoraConfigFetcher fetches. The defaults are the receivers' real ports.
struct PikoraConfigFetchOptions
{
    std::uint16_t firstPort = 80;
    std::uint16_t secondPort = 8080;
    int timeoutMs = 6000; // the whole transfer
    std::int64_t maxBodyBytes = PikoraConfig::kMaxBodyBytes;
};

class PikoraConfigFetcher : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultTimeoutMs = 6000;
    static constexpr int kMaxRedirects = 3;

    using Options = PikoraConfigFetchOptions;

    // (body or nothing, error or nothing). Both empty: the server answered with a status
    // other than 200.
    using DataCompletion =
        std::function<void(std::optional<QByteArray> data, std::optional<PairingError> error)>;
    // (object or nothing, error or nothing). Both empty: no body, or a body that is JSON but
    // not an object.
    using JsonCompletion = std::function<void(std::optional<Json> object, std::optional<PairingError> error)>;

    explicit PikoraConfigFetcher(Options options = {}, QObject* parent = nullptr);
    ~PikoraConfigFetcher() override;

    const Options& options() const { return m_options; }

    // "http://ADDRESS:PORT/pikora_config.json"; an invalid URL unless `address` is a dotted
    // IPv4 address.
    static QUrl configUrl(const QString& address, std::uint16_t port);

    // One GET. `complete` runs exactly once, unless the fetcher is destroyed first.
    void fetch(const QUrl& url, DataCompletion complete);
    // The file's bytes from the first port, else from the second.
    void pullPikoraJSONData(const QString& address, DataCompletion complete);
    // The bytes parsed: an object, or the parse error; anything else is logged and dropped.
    void pullPikoraJSON(const QString& address, JsonCompletion complete);

    // Requests started so far (tests).
    int requestsStarted() const { return m_started; }

private:
    Options m_options;
    QNetworkAccessManager* m_manager = nullptr;
    int m_started = 0;
};
