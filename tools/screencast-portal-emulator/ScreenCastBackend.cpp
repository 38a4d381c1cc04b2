#include "ScreenCastBackend.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QThread>

namespace {

const QString kOutput = QStringLiteral("HEADLESS-1");
const QString kVendor = QStringLiteral("pikora-test");

struct StreamDescription
{
    uint node = 0;
    QVariantMap properties;
};

struct RestoreData
{
    QString vendor;
    uint version = 0;
    QDBusVariant data;
};

struct Pair
{
    int a = 0, b = 0;
};

QDBusArgument& operator<<(QDBusArgument& arg, const StreamDescription& s)
{
    arg.beginStructure();
    arg << s.node << s.properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, StreamDescription& s)
{
    arg.beginStructure();
    arg >> s.node >> s.properties;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const RestoreData& r)
{
    arg.beginStructure();
    arg << r.vendor << r.version << r.data;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, RestoreData& r)
{
    arg.beginStructure();
    arg >> r.vendor >> r.version >> r.data;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const Pair& p)
{
    arg.beginStructure();
    arg << p.a << p.b;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, Pair& p)
{
    arg.beginStructure();
    arg >> p.a >> p.b;
    arg.endStructure();
    return arg;
}

} // namespace

Q_DECLARE_METATYPE(StreamDescription)
Q_DECLARE_METATYPE(RestoreData)
Q_DECLARE_METATYPE(Pair)

// The impl.portal.Session object the frontend closes.
class SessionObject : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Session")
public:
    std::function<void()> onClose;
public slots:
    void Close()
    {
        if (onClose)
            onClose();
    }
signals:
    void Closed();
};

struct ScreenCastBackend::Session
{
    std::unique_ptr<SessionObject> object;
    std::unique_ptr<PipeWireScreenSource> source;
    uint persistMode = 0;
    uint cursorMode = 0;
    bool restored = false;
};

ScreenCastBackend::ScreenCastBackend(Grab grab, QObject* parent) : QObject(parent), m_grab(std::move(grab)) {}

ScreenCastBackend::~ScreenCastBackend() = default;

void ScreenCastBackend::registerTypes()
{
    qDBusRegisterMetaType<StreamDescription>();
    qDBusRegisterMetaType<QList<StreamDescription>>();
    qDBusRegisterMetaType<RestoreData>();
    qDBusRegisterMetaType<Pair>();
}

uint ScreenCastBackend::CreateSession(const QDBusObjectPath&, const QDBusObjectPath& sessionHandle,
                                      const QString&, const QVariantMap&, QVariantMap& results)
{
    const uint response = openSession(sessionHandle.path());
    if (response == 0)
        results.insert(QStringLiteral("session_id"), sessionHandle.path());
    return response;
}

uint ScreenCastBackend::openSession(const QString& path)
{
    if (m_sessions.count(path))
        return 2;
    auto session = std::make_unique<Session>();
    session->object = std::make_unique<SessionObject>();
    session->object->onClose = [this, path] { closeSession(path); };
    QDBusConnection::sessionBus().registerObject(
        path, session->object.get(), QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
    m_sessions[path] = std::move(session);
    emit event(QStringLiteral("session created %1").arg(path));
    return 0;
}

uint ScreenCastBackend::SelectSources(const QDBusObjectPath&, const QDBusObjectPath& sessionHandle,
                                      const QString&, const QVariantMap& options, QVariantMap&)
{
    auto it = m_sessions.find(sessionHandle.path());
    if (it == m_sessions.end())
        return 2;
    Session& session = *it->second;
    session.persistMode = options.value(QStringLiteral("persist_mode")).toUInt();
    session.cursorMode = options.value(QStringLiteral("cursor_mode")).toUInt();
    emit event(QStringLiteral("select sources: cursor mode %1").arg(session.cursorMode));
    const QVariant restore = options.value(QStringLiteral("restore_data"));
    if (restore.canConvert<QDBusArgument>()) {
        RestoreData data;
        restore.value<QDBusArgument>() >> data;
        if (data.vendor == kVendor && data.data.variant().toString() == kOutput) {
            session.restored = true;
            ++m_restored;
            emit event(QStringLiteral("select sources: restored %1 from the saved choice (restored %2)")
                           .arg(kOutput)
                           .arg(m_restored));
            return 0;
        }
    }
    ++m_chooserShown;
    emit event(QStringLiteral("select sources: chooser shown, %1 chosen (chooser %2, persist %3)")
                   .arg(kOutput)
                   .arg(m_chooserShown)
                   .arg(session.persistMode));
    return 0;
}

uint ScreenCastBackend::Start(const QDBusObjectPath&, const QDBusObjectPath& sessionHandle, const QString&,
                              const QString&, const QVariantMap&, QVariantMap& results)
{
    return startSession(sessionHandle.path(), results);
}

uint ScreenCastBackend::nodeOf(const QString& path) const
{
    auto it = m_sessions.find(path);
    if (it == m_sessions.end() || !it->second->source)
        return 0;
    return it->second->source->nodeId();
}

uint ScreenCastBackend::startSession(const QString& path, QVariantMap& results)
{
    auto it = m_sessions.find(path);
    if (it == m_sessions.end())
        return 2;
    Session& session = *it->second;
    QByteArray picture;
    QSize size;
    if (!m_grab(picture, size)) {
        emit event(QStringLiteral("start: cannot grab the screen"));
        return 2;
    }
    session.source = std::make_unique<PipeWireScreenSource>();
    if (!session.source->start(size, session.cursorMode == 4)) {
        emit event(QStringLiteral("start: no PipeWire"));
        return 2;
    }
    session.source->setPicture(picture);
    QElapsedTimer waited;
    waited.start();
    while (session.source->nodeId() == 0 && waited.elapsed() < 5000)
        QThread::msleep(10);
    if (session.source->nodeId() == 0) {
        emit event(QStringLiteral("start: the stream got no node"));
        return 2;
    }
    StreamDescription stream;
    stream.node = session.source->nodeId();
    stream.properties.insert(QStringLiteral("size"), QVariant::fromValue(Pair{size.width(), size.height()}));
    stream.properties.insert(QStringLiteral("position"), QVariant::fromValue(Pair{0, 0}));
    stream.properties.insert(QStringLiteral("source_type"), QVariant::fromValue<uint>(1));
    results.insert(QStringLiteral("streams"), QVariant::fromValue(QList<StreamDescription>{stream}));
    if (session.persistMode != 0) {
        results.insert(QStringLiteral("persist_mode"), QVariant::fromValue<uint>(session.persistMode));
        results.insert(QStringLiteral("restore_data"),
                       QVariant::fromValue(RestoreData{kVendor, 1, QDBusVariant(kOutput)}));
    }
    emit event(QStringLiteral("start: node %1 %2x%3").arg(stream.node).arg(size.width()).arg(size.height()));
    return 0;
}

void ScreenCastBackend::refresh()
{
    bool any = false;
    for (auto& [path, session] : m_sessions)
        any = any || session->source;
    if (!any)
        return;
    QByteArray picture;
    QSize size;
    if (!m_grab(picture, size))
        return;
    for (auto& [path, session] : m_sessions)
        if (session->source && session->source->size() == size)
            session->source->setPicture(picture);
}

void ScreenCastBackend::closeSession(const QString& path)
{
    auto it = m_sessions.find(path);
    if (it == m_sessions.end())
        return;
    QDBusConnection::sessionBus().unregisterObject(path);
    std::unique_ptr<Session> session = std::move(it->second);
    m_sessions.erase(it);
    if (session->source)
        session->source->stop();
    emit event(QStringLiteral("session closed %1").arg(path));
    session->object.release()->deleteLater();
}

#include "ScreenCastBackend.moc"
