// The receiver's side of the control link, as Pikora's transmitter handles it: a transmitter is
// opened without a socket, a valid hello answer opens it, a stream is started and granted, and
// then the input is fed as what the receiver sends. Every handler runs: notifications (layout,
// display stop/pause/resume, pointer, host control), requests (host-control questions, auto
// display), responses (to start, full-screen and keep-alive requests, with any id).
//
// Input: a first byte picks the shape. Even: the rest is split at newlines and each line goes
// out as one JSON frame (most lines are JSON-RPC, so every handler is reached). Odd: the rest is
// the raw byte stream (the frame decoder and the codec in front of the handlers). Crashes,
// exceptions, sanitizer reports and hangs are the findings.
#include "Beamline/GenericDeviceHIDEventListener.h"
#include "Beamline/KPDataTransmitterHostControlDelegate.h"
#include "Beamline/KPGenericDevice.h"
#include "Beamline/KPGenericDeviceDataTransmitter.h"
#include "Beamline/KPReceiverLink.h"
#include "Beamline/KPReceiverLinkCodec.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstddef>
#include <cstdint>

namespace {

// Answers every host-control question at once and takes every pointer event.
struct Delegate : KPDataTransmitterHostControlDelegate, GenericDeviceHIDEventListener
{
    bool transmitterHostControlDidReceiveAskRequestStream(KPDataTransmitter*, const QString&, const QString&,
                                                          KPHostControlReply reply) override
    {
        reply(true, 1);
        return true;
    }
    void hostControlDidReceiveAskFullscreen(KPDataTransmitter*, const QString&, const QString&,
                                            KPHostControlReply reply) override
    {
        reply(false, 2);
    }
    QByteArray hostControlDidAskedToAutoWifiDisplay(KPDataTransmitter*) override
    {
        return QByteArray("auto");
    }
    void mouseMoveDetected(QPointF d) override { sum += d.x() + d.y(); }
    void touchEventConvertedToSingleMouseEvent_Down(QPointF p, QSizeF b) override
    {
        sum += p.x() / b.width();
    }
    double sum = 0;
};

QByteArray frame(const QByteArray& json)
{
    return KPReceiverLinkCodec::encodeJson(json.toStdString());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    KPRemoteHost host;
    host.setHostName(QStringLiteral("Fuzz"));
    host.setIpAddress(QStringLiteral("127.0.0.1"));
    host.setParameters(
        Json{{"h264", true}, {"maxWidth", 1920}, {"maxHeight", 1080}, {"conferenceVersion", 2}});
    auto device = std::make_shared<KPGenericDevice>(host, 3.0);
    QObject context;
    auto transmitter = std::make_shared<KPGenericDeviceDataTransmitter>(
        device, [](const KPRemoteHost& h, double t) { return std::make_shared<KPGenericDevice>(h, t); },
        nullptr, &context);
    auto delegate = std::make_shared<Delegate>();
    transmitter->conferenceController()->setHostControlDelegate(delegate);
    transmitter->HIDEventController()->addHIDEventListener(delegate.get());
    transmitter->HIDEventController()->setEnableHIDControl(true);

    KPReceiverLink* link = transmitter->openWithoutSocketForTesting(nullptr);
    if (!link)
        std::abort();
    // Hello (request 1) answered; the stream (request 2) requested and granted.
    link->receiveForTesting(frame(R"({"jsonrpc":"2.0","id":1,"result":{"hostName":"Fuzz","parameters":)"
                                  R"({"h264":true,"maxWidth":1920,"maxHeight":1080,"conferenceVersion":2},)"
                                  R"("role":1,"screenNumber":1,"screenPosition":0}})"));
    transmitter->startDisplay(nullptr);
    link->receiveForTesting(
        frame(R"({"jsonrpc":"2.0","id":2,"result":{"screenNumber":1,"screenPosition":1}})"));
    transmitter->conferenceController()->requestFullscreen(true, [](bool) {});

    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    if (data[0] % 2 == 1) {
        link->receiveForTesting(input);
    } else {
        for (const QByteArray& line : input.split('\n'))
            link->receiveForTesting(frame(line));
    }
    transmitter->close();
    // Run what was posted (queued flushes, the link's deletion) before the next input.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
