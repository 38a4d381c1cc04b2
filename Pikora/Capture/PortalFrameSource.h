#pragma once

#include "Pikora/Capture/DesktopFrameSource.h"
#include "Pikora/Platform/PortalPointerInjector.h"

#include <QSize>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class QThread;
class QObject;

// Captures the screen of a Wayland session through the desktop portal's ScreenCast interface
// and PipeWire. The portal is asked once; its restore token is kept (through the token store
// set with setRestoreTokenStore) so that later projections start without a dialog. start()
// only begins the conversation with the portal and returns at once; frames follow when the
// portal and the stream are up. Whatever stops the capture from its side (no portal, the user
// cancelled, no answer in time, the stream ended) is reported once through the notice handler
// and the source delivers nothing more.
//
// The portal shares one monitor: the source shows one display (kDisplayID) whose size is the
// stream's last known size (or the size hint before any stream ran).
class PortalFrameSource final : public DesktopFrameSource
{
public:
    static constexpr std::uint32_t kDisplayID = 1;

    enum class Notice
    {
        Failed,        // capture could not start; the projection should stop
        Ended,         // the stream ended while capturing; the projection should stop
        AskingAgain,   // the saved permission was not accepted, the portal asks the user again
        NotRemembered, // the portal cannot remember the choice: it will ask every time
    };
    // Called on an internal thread; the message is for the user.
    using NoticeHandler = std::function<void(Notice, const QString& message)>;

    struct TokenStore
    {
        std::function<QString()> load;
        std::function<void(const QString&)> save;
    };

    // Where the receiver's pointer goes while a session with a pointer runs: attach() when it
    // starts (with the stream's size and a sender that queues to the portal's thread, dropping
    // events beyond a small bound), detach() when it ends. Called on internal threads.
    struct PointerTarget
    {
        std::function<void(QSize streamSize, PortalPointerInjector::Sender sender)> attach;
        std::function<void()> detach;
    };

    enum class PointerMode
    {
        Off,        // a plain screen cast; the pointer is not forwarded
        Remembered, // the pointer where the portal can remember the choice (no dialog each time)
        Always,     // the pointer wherever offered, even if the portal then asks at every projection
    };

    struct Timeouts
    {
        std::chrono::milliseconds call{5000};
        std::chrono::milliseconds request{10000};
        std::chrono::milliseconds interactive{120000};
    };

    PortalFrameSource();
    ~PortalFrameSource() override;

    // Process-wide settings, read at each start().
    static void setRestoreTokenStore(TokenStore store);
    static void setNoticeHandler(NoticeHandler handler);
    static void setSizeHint(std::function<QSize()> hint);
    static void setTimeouts(Timeouts timeouts);
    static void setPointerTarget(PointerTarget target, PointerMode mode);
    // True when this process runs in a Wayland session.
    static bool isWaylandSession();

    std::vector<Display> displays() override;
    std::optional<QString> screenName(std::uint32_t display) override;
    bool start(std::uint32_t display, QSize pixelSize, double fps, bool showCursor, DispatchQueue& queue,
               FrameHandler handler) override;
    void stop() override;

    // Diagnostics and measurements.
    bool isStreaming() const;
    std::uint64_t framesDelivered() const;
    std::uint64_t framesLent() const;
    std::uint64_t framesCopied() const;

    struct Shared;

private:
    void ensureThread();

    std::shared_ptr<Shared> d;
    std::unique_ptr<QThread> m_thread;
    QObject* m_context = nullptr; // lives on m_thread
};
