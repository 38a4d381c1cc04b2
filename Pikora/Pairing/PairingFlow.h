#pragma once

// The pairing flow: turns what the user typed (a receiver's IPv4 address, host name, display
// name or Wi-Fi name) into an address, fetches the receiver's configuration file from it and,
// when that is an object, has the application write it into the accessory and ask the
// accessory for its paired receiver again. Failures are shown as a notice and an alert.
//
// Nothing blocks: the host name is resolved asynchronously and the file is fetched by
// PikoraConfigFetcher, so the interface stays responsive and attempts may overlap. Every
// call into the host, success and failure alike, is made on this object's (the main) thread.

#include "Pikora/Pairing/PikoraConfigFetcher.h"

#include <QObject>
#include <QString>
#include <memory>

class HostResolver;
class PairingHost;

struct PairingFlowOptions
{
    PikoraConfigFetchOptions fetch;
};

class PairingFlow : public QObject
{
    Q_OBJECT
public:
    using Options = PairingFlowOptions;

    // How one attempt ended, for whoever watches (the window, tests, diagnostics).
    struct Outcome
    {
        enum class Result
        {
            Paired,        // the object was handed to the host
            NoAddress,     // nothing to fetch from: "Pairing failed" was shown
            Failed,        // the fetch or the parse failed: the error was shown
            NothingToWrite // no 200 answer, or JSON that is not an object: nothing shown
        };
        Result result = Result::NoAddress;
        QString address; // where the file was fetched from; empty for NoAddress
        QString message; // what the user was shown, if anything
    };

    // `host` must outlive the flow. `resolver` null: the system resolver.
    PairingFlow(PairingHost& host, std::shared_ptr<HostResolver> resolver, Options options = {},
                QObject* parent = nullptr);
    ~PairingFlow() override;

    // Runs one attempt with the user's text.
    void tryPairing(const QString& userInput);

    PikoraConfigFetcher& fetcher() { return *m_fetcher; }

signals:
    // The host has been told (written and asked again); emitted before attemptFinished.
    void paired();
    void attemptFinished(const PairingFlow::Outcome& outcome);

private:
    void pairWithAddress(const QString& address);
    void fail(const QString& address, const QString& message, Outcome::Result result);

    PairingHost& m_host;
    std::shared_ptr<HostResolver> m_resolver;
    PikoraConfigFetcher* m_fetcher = nullptr;
};
