#pragma once

// Fakes for the pairing tests: the application side (records what the flow asks of it), a
// resolver that never asks a real name server, and discovered receivers.

#include "Beamline/KPPrototypeDevice.h"
#include "Pikora/Pairing/HostResolver.h"
#include "Pikora/Pairing/PairingHost.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMap>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <functional>
#include <vector>

inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

inline void spinFor(int ms)
{
    waitFor([] { return false; }, ms);
}

class RecordingPairingHost : public PairingHost
{
public:
    QList<std::shared_ptr<KPPrototypeDevice>> devices;
    std::vector<Json> written;
    int completions = 0;
    QStringList notifications;
    QList<QPair<QString, QString>> alerts;
    // Calls in order: "write", "complete", "notify:TEXT", "alert:QUESTION/TEXT".
    QStringList calls;

    QList<std::shared_ptr<KPPrototypeDevice>> discoveredDevices() const override { return devices; }
    void writePairingDataToLauncher(const Json& pairingData) override
    {
        written.push_back(pairingData);
        calls << QStringLiteral("write");
    }
    void pairingDidComplete() override
    {
        ++completions;
        calls << QStringLiteral("complete");
    }
    void showUserNotification(const QString& message) override
    {
        notifications << message;
        calls << QStringLiteral("notify:") + message;
    }
    void showOKAlertWithQuestion(const QString& question, const QString& text) override
    {
        alerts.append({question, text});
        calls << QStringLiteral("alert:%1/%2").arg(question, text);
    }
};

// Answers from a table, asynchronously like the real resolver; unknown names resolve to nothing.
class FakeResolver : public HostResolver
{
public:
    QMap<QString, QString> table;
    QStringList asked;

    void lookupIPv4(const QString& name, QObject* context, Completion completion) override
    {
        asked << name;
        std::optional<QString> answer;
        if (table.contains(name))
            answer = table.value(name);
        QPointer<QObject> guard(context);
        QTimer::singleShot(0, context, [guard, completion, answer] {
            if (guard)
                completion(answer);
        });
    }
};

class FakeDevice : public KPPrototypeDevice
{
public:
    FakeDevice(QString host, QString display, QString ip)
        : m_host(std::move(host)), m_display(std::move(display)), m_ip(std::move(ip))
    {
    }
    QString hostName() const override { return m_host; }
    QString displayName() const override { return m_display; }
    QString ipAddress() const override { return m_ip; }

private:
    QString m_host, m_display, m_ip;
};

inline std::shared_ptr<KPPrototypeDevice> device(const char* host, const char* display, const char* ip)
{
    return std::make_shared<FakeDevice>(QString::fromUtf8(host), QString::fromUtf8(display),
                                        QString::fromUtf8(ip));
}
