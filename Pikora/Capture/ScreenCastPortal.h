#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSize>
#include <QString>
#include <QVariantMap>
#include <chrono>
#include <functional>
#include <memory>

class QTimer;

// One screen-cast session with the desktop portal (org.freedesktop.portal.ScreenCast on the
// session bus): CreateSession, SelectSources (one monitor, the pointer drawn in, persist
// until revoked, with the stored restore token), Start, OpenPipeWireRemote. Every method
// call and every Request/Response wait has a timeout; whatever goes wrong ends in exactly
// one finished() with a reason. Lives on (and must be used from) a thread with an event loop.
//
// With Options::pointer the session is a remote-desktop session
// (org.freedesktop.portal.RemoteDesktop) that also casts the screen, so that the pointer can
// be driven on the shared stream: RemoteDesktop.CreateSession, SelectDevices (pointer; persist
// and restore token from version 2 of that interface), ScreenCast.SelectSources on the same
// session, RemoteDesktop.Start, ScreenCast.OpenPipeWireRemote. Where the portal offers no
// remote desktop or no pointer (or, unless Options::pointerWithoutMemory, cannot remember the
// choice), the plain screen cast runs and Result::pointerNote says why, in one log line.
class ScreenCastPortal : public QObject
{
    Q_OBJECT

public:
    enum class Outcome
    {
        Started,
        PortalMissing, // no portal, or no ScreenCast interface
        Cancelled,     // the user closed the dialog
        Failed,        // the portal answered with an error, or the answer made no sense
        TimedOut,      // the portal did not answer in time
        Closed,        // the session was closed (by the compositor or the portal) after it started
    };

    struct Options
    {
        QString restoreToken;                                 // empty = ask the user
        std::chrono::milliseconds callTimeout{5000};          // each method call
        std::chrono::milliseconds requestTimeout{10000};      // each Response without a dialog
        std::chrono::milliseconds interactiveTimeout{120000}; // Start, which may show a dialog
        bool pointer = false;                                 // ask for a pointer device on the same session
        bool pointerWithoutMemory = false; // even where the portal cannot remember the choice
    };

    struct Result
    {
        Outcome outcome = Outcome::Failed;
        QString reason;      // for the log and the user; empty when started
        int pipeWireFd = -1; // owned by the receiver of the result once Started
        quint32 nodeId = 0;
        QSize size;                       // the stream's size, when the portal said
        QString restoreToken;             // the token for next time; empty when the portal gave none
        bool usedRestoreToken = false;    // a token was sent and the session started
        bool restoreTokenRefused = false; // a token was sent and the portal did not honour it
        int portalVersion = 0;
        bool pointer = false; // the session may drive the pointer (notifyPointer*)
        QString pointerNote;  // why the pointer is not driven, when it was asked for
    };

    using Finished = std::function<void(const Result&)>;

    explicit ScreenCastPortal(QDBusConnection bus, QObject* parent = nullptr);
    ~ScreenCastPortal() override;

    // Starts the conversation; `finished` is called once on this object's thread.
    void begin(const Options& options, Finished finished);
    // Closes the portal session (if one is open). No callback follows a close.
    void close();

    static QString outcomeName(Outcome outcome);

    // Linux input button codes (linux/input-event-codes.h).
    static constexpr int kButtonLeft = 0x110;
    static constexpr int kButtonRight = 0x111;
    static constexpr int kMaxPointerQueue = 64;
    // While a session with a pointer runs: the pointer to (x, y) of the stream, in the
    // stream's coordinates, and a button pressed or released. Queued and sent one at a time,
    // each after the portal answered the one before (the portal may handle calls that are in
    // flight together in any order, and a click must land where the pointer went). A motion
    // queued behind another replaces it; beyond kMaxPointerQueue events nothing more is
    // queued. False when no such session runs, the values are not finite or the queue is full.
    bool notifyPointerMotionAbsolute(double x, double y);
    bool notifyPointerButton(int button, bool pressed);

    // Reads the streams of a Start response: the first stream's PipeWire node and size.
    // False, with the reason, when the results do not have that shape.
    static bool parseStartResults(const QVariantMap& results, quint32& nodeId, QSize& size, QString& token,
                                  QString* error);

signals:
    // The session was closed by the other side while it ran.
    void sessionClosed();

private slots:
    void onResponse(uint response, const QVariantMap& results);
    void onSessionClosed(const QVariantMap& details);

private:
    enum class Step
    {
        Idle,
        Properties,
        RemoteProperties,
        CreateSession,
        SelectDevices,
        SelectSources,
        Start,
        OpenRemote,
        Running,
        Done,
    };

    void queryProperties();
    void queryRemoteDesktop();
    void pointerOff(const QString& why);
    void createSession();
    void selectDevices();
    void selectSources();
    void startSession();
    void openRemote();
    void request(const QString& interface, const QString& method, const QList<QVariant>& args,
                 QVariantMap options, std::chrono::milliseconds responseTimeout);
    struct PointerCall
    {
        bool motion = true;
        double x = 0, y = 0;
        int button = 0;
        bool pressed = false;
    };
    bool queuePointer(const PointerCall& call);
    void sendNextPointer();
    void finish(Outcome outcome, const QString& reason);
    void stopWaiting();
    QString newToken();

    QDBusConnection m_bus;
    Options m_options;
    Finished m_finished;
    Step m_step = Step::Idle;
    QString m_requestPath;
    QString m_sessionHandle;
    QTimer* m_timer = nullptr;
    quint32 m_cursorMode = 1;
    int m_version = 0;
    int m_remoteVersion = 0;
    bool m_remote = false; // the session is a remote-desktop session
    QList<PointerCall> m_pointerQueue;
    bool m_pointerInFlight = false;
    bool m_pointerErrorLogged = false;
    bool m_tokenSent = false;
    bool m_sessionClosedConnected = false;
    Result m_result;
};
