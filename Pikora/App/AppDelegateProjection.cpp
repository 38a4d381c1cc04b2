// Projection control: ask the receiver for a display stream, and once it runs, capture and
// encode the main display, tell the accessory, keep the machine awake and let the
// receiver's pointer drive ours. Stopping undoes all of it.
#include "Beamline/KPHIDEventController.h"
#include "Beamline/KPJSONRPC.h"
#include "Pikora/App/AppDelegate.h"
#include "Pikora/App/AppLogging.h"
#include "Pikora/App/UserInterface.h"
#include "Pikora/Capture/AVSessionUtility.h"
#include "Pikora/Capture/AbstractCaptureDevice.h"
#include "Pikora/Platform/PointerInjector.h"
#include "Pikora/Platform/PowerAssertion.h"
#include "Support/DispatchQueue.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const QString kAssertionName = QStringLiteral("Pikora is on it's session!");
// Long enough to read a sentence about why the screen is not shared.
constexpr double kCaptureFailureDuration = 8.0;

void sendNotification(LauncherConnector* connector, const char* method)
{
    if (!connector)
        return;
    const KPJSONRPCNotification notification(method, nullptr);
    connector->sendMessage(notification.JSONRPCMessage());
}

// One line that says how the projection went, for diagnostics and the demo's summary.
void logCaptureSummary(const AVSessionUtility::Statistics& stats)
{
    if (stats.ticks == 0)
        return;
    std::vector<std::uint32_t> latencies = stats.latenciesUs;
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&latencies](double p) -> double {
        if (latencies.empty())
            return 0;
        const auto index = static_cast<std::size_t>(p * double(latencies.size() - 1) + 0.5);
        return latencies[std::min(index, latencies.size() - 1)] / 1000.0;
    };
    qCInfo(lcApp).noquote() << QStringLiteral("capture summary: ticks %1 compressed %2 sent %3 not-ready %4 "
                                              "discarded %5 bytes %6 handover-ms p50 %7 p99 %8")
                                   .arg(stats.ticks)
                                   .arg(stats.framesCompressed)
                                   .arg(stats.picturesSent)
                                   .arg(stats.framesNotReady)
                                   .arg(stats.picturesDiscarded)
                                   .arg(stats.bytesSent)
                                   .arg(percentile(0.5), 0, 'f', 2)
                                   .arg(percentile(0.99), 0, 'f', 2);
}

} // namespace

void AppDelegate::startWifiDisplay()
{
    KPDeviceController& controller = deviceController();
    QPointer<AppDelegate> weak(this);

    controller.setWifiDisplayStartCallback([weak](std::optional<KPError> error) {
        if (!weak)
            return;
        AppDelegate& self = *weak;
        if (error) {
            // Refused, timed out or withdrawn: nothing runs, and the receiver's pointer stays off.
            self.setPointerForwarding(false);
            return;
        }
        if (self.m_projecting && AVSessionUtility::sharedInstance()->isRunning()) {
            // The stream runs already (a full-screen grant while projecting): capture follows
            // the receiver's layout by itself, and the accessory heard of the start before.
            qCInfo(lcApp) << "projection already running; nothing to start";
            return;
        }
        QSize nativeSize(0, 0);
        // A stream that joins a shared screen starts at the split size: no layout change
        // follows to restart it there.
        QSizeF desired(0, 0);
        if (auto transmitter = self.deviceController().transmitter()) {
            auto device = transmitter->connectedDevice();
            if (auto* streaming = dynamic_cast<KPPrototypeImageStreamingProtocol*>(device.get()))
                nativeSize = streaming->getMaxResolution();
            if (KPSplitScreenController* split = transmitter->splitScreenController();
                split && split->screenNumber() > 1)
                desired = QSizeF(AVSessionUtility::kSplitScreenWidth, AVSessionUtility::kSplitScreenHeight);
        }
        const std::uint32_t displayId = self.m_env.mainDisplayId ? self.m_env.mainDisplayId() : 0;
        auto session = AVSessionUtility::sharedInstance();
        session->setDeviceNativeResolution(nativeSize);
        if (!session->startCapture(AbstractCaptureDevice::mainDisplay(displayId),
                                   AVSessionUtility::outputFormat(), kCaptureQuality, desired)) {
            // The receiver granted a stream we cannot feed: give it back, tell the user, and
            // neither tell the accessory nor keep the machine awake.
            qCWarning(lcApp).noquote()
                << QStringLiteral("projection not started: the encoder cannot start for "
                                  "a receiver of %1x%2")
                       .arg(nativeSize.width())
                       .arg(nativeSize.height());
            self.setPointerForwarding(false);
            self.m_projecting = false;
            self.deviceController().stopWifiDisplay();
            self.showMessage(tr("Cannot start projecting to this receiver"), kNotificationDuration);
            return;
        }
        sendNotification(self.m_connector.get(), "notify-projection-started");

        // A second start without a stop in between must not leak the earlier assertions.
        self.releasePowerAssertions();
        if (self.m_env.powerAssertion) {
            for (auto [type, slot] :
                 {std::pair{PowerAssertion::Type::NoDisplaySleep, &self.m_screenIdleAssertionID},
                  std::pair{PowerAssertion::Type::NoIdleSleep, &self.m_sleepIdleAssertionID}}) {
                const PowerAssertion::Result r = self.m_env.powerAssertion->create(type, kAssertionName);
                *slot = r.ok ? r.id : 0;
                qCInfo(lcApp).noquote() << QStringLiteral("IOPMAssertionCreateWithName:%1").arg(r.code());
            }
        }
        // The receiver's pointer drives ours only from here until the stream ends.
        self.setPointerForwarding(true);
        self.m_projecting = true;
        emit self.projectionStarted();
    });

    controller.setWifiDisplayDisconnectCallback([weak] {
        if (!weak)
            return;
        AppDelegate& self = *weak;
        self.setPointerForwarding(false);
        self.m_isConnecting = false;
        if (!self.m_projecting)
            return; // a stream that never ran (the encoder could not start): nothing to report
        sendNotification(self.m_connector.get(), "notify-projection-stopped");
        if (!self.m_captureFailure.isEmpty())
            self.showMessage(std::exchange(self.m_captureFailure, QString()), kCaptureFailureDuration);
        else
            self.showMessage(tr("Disconnect WiFi Display"), kNotificationDuration);
        self.m_projecting = false;
        emit self.projectionStopped();
    });

    controller.startWifiDisplay();
}

void AppDelegate::captureFailed(const QString& message)
{
    if (!m_projecting) {
        showMessage(message, kCaptureFailureDuration);
        return;
    }
    qCWarning(lcApp).noquote() << QStringLiteral("projection stopped: %1").arg(message);
    m_captureFailure = message;
    stopWifiDisplay(false);
    // Shown now as well: the receiver's end of the stream may take a while to arrive.
    showMessage(message, kCaptureFailureDuration);
}

void AppDelegate::captureNotice(const QString& message)
{
    showMessage(message, kCaptureFailureDuration);
}

void AppDelegate::setPointerForwarding(bool on)
{
    m_pointerForwarding = on;
    auto transmitter = deviceController().transmitter();
    KPHIDEventController* hid = transmitter ? transmitter->HIDEventController() : nullptr;
    if (!hid)
        return;
    hid->setEnableHIDControl(on);
    if (on)
        hid->addHIDEventListener(this);
    else
        hid->removeHIDEventListener(this);
}

void AppDelegate::stopWifiDisplay(bool dropLink)
{
    KPDeviceController& controller = deviceController();
    setPointerForwarding(false);
    controller.stopWifiDisplay();
    if (dropLink)
        controller.disconnect();
    auto session = AVSessionUtility::sharedInstance();
    logCaptureSummary(session->statistics());
    session->stopCapture();
    releasePowerAssertions();
}

void AppDelegate::releasePowerAssertions()
{
    if (!m_env.powerAssertion)
        return;
    for (PowerAssertion::Id* slot : {&m_screenIdleAssertionID, &m_sleepIdleAssertionID}) {
        if (*slot)
            m_env.powerAssertion->release(*slot);
        *slot = 0;
    }
}

// --- pointer input from the receiver ---------------------------------------------------
// Moves, drags and buttons hop to the main thread; touches are posted from the caller's
// thread. Nothing is posted once forwarding has been turned off.

void AppDelegate::postPointerOnMain(std::function<void(PointerInjector&)> post)
{
    postOnMain([post = std::move(post)](AppDelegate& self) {
        if (self.m_pointerForwarding && self.m_env.pointer)
            post(*self.m_env.pointer);
    });
}

void AppDelegate::mouseMoveDetected(QPointF delta)
{
    postPointerOnMain([delta](PointerInjector& p) { p.postRelativeMouseMove(delta.x(), delta.y()); });
}

void AppDelegate::LeftMouseDownDetected()
{
    postPointerOnMain([](PointerInjector& p) { p.postLeftMouseDownOnCurrentPoint(); });
}

void AppDelegate::LeftMouseUpDetected()
{
    postPointerOnMain([](PointerInjector& p) { p.postLeftMouseUpOnCurrentPoint(); });
}

void AppDelegate::leftMouseDragged(QPointF delta)
{
    postPointerOnMain([delta](PointerInjector& p) { p.postRelativeLeftMouseDrag(delta.x(), delta.y()); });
}

void AppDelegate::RightMouseDownDetected()
{
    postPointerOnMain([](PointerInjector& p) { p.postRightMouseDownOnCurrentPoint(); });
}

void AppDelegate::RightMouseUpDetected()
{
    postPointerOnMain([](PointerInjector& p) { p.postRightMouseUpOnCurrentPoint(); });
}

std::optional<QPointF> AppDelegate::scaleTouchPoint(QPointF point, QSizeF base, QSize screen)
{
    if (!std::isfinite(point.x()) || !std::isfinite(point.y()) || !std::isfinite(base.width()) ||
        !std::isfinite(base.height()) || base.width() <= 0 || base.height() <= 0)
        return std::nullopt;
    return QPointF(point.x() / base.width() * screen.width(), point.y() / base.height() * screen.height());
}

void AppDelegate::touchEventConvertedToSingleMouseEvent_Down(QPointF point, QSizeF base)
{
    if (!m_pointerForwarding || !m_env.pointer)
        return;
    const QSize screen = m_env.mainScreenSize ? m_env.mainScreenSize() : QSize();
    if (auto scaled = scaleTouchPoint(point, base, screen))
        m_env.pointer->postLeftMouseDown(*scaled);
    else
        qCWarning(lcApp) << "touch down ignored: cannot scale" << point << "from base" << base;
}

void AppDelegate::touchEventConvertedToSingleMouseEvent_Up(QPointF, QSizeF)
{
    if (m_pointerForwarding && m_env.pointer)
        m_env.pointer->postLeftMouseUpOnCurrentPoint();
}

void AppDelegate::touchEventConvertedToSingleMouseEvent_Dragged(QPointF point, QSizeF base)
{
    if (!m_pointerForwarding || !m_env.pointer)
        return;
    const QSize screen = m_env.mainScreenSize ? m_env.mainScreenSize() : QSize();
    if (auto scaled = scaleTouchPoint(point, base, screen))
        m_env.pointer->postLeftMouseDrag(*scaled);
    else
        qCWarning(lcApp) << "touch drag ignored: cannot scale" << point << "from base" << base;
}
