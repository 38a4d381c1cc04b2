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
    };

    using Finished = std::function<void(const Result&)>;

    explicit ScreenCastPortal(QDBusConnection bus, QObject* parent = nullptr);
    ~ScreenCastPortal() override;

    // Starts the conversation; `finished` is called once on this object's thread.
    void begin(const Options& options, Finished finished);
    // Closes the portal session (if one is open). No callback follows a close.
    void close();

    static QString outcomeName(Outcome outcome);

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
        CreateSession,
        SelectSources,
        Start,
        OpenRemote,
        Running,
        Done,
    };

    void queryProperties();
    void createSession();
    void selectSources();
    void startSession();
    void openRemote();
    void request(const QString& method, const QList<QVariant>& args, QVariantMap options,
                 std::chrono::milliseconds responseTimeout);
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
    bool m_tokenSent = false;
    bool m_sessionClosedConnected = false;
    Result m_result;
};
