#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <map>
#include <vector>

// One device on the simulated USB bus: a directory in which an attached device is the JSON
// file NAME.json (written atomically, deleted on removal) and bytes written by the host to a
// bulk OUT endpoint are appended to NAME.ep<address>.out. This class plays the device side:
// it appears and leaves, and reports what the host writes to the endpoints it watches.
class SimulatedBusPresence : public QObject
{
    Q_OBJECT
public:
    struct Endpoint
    {
        std::uint8_t address = 0;
        bool bulk = true;
        bool in = false;
    };
    struct Interface
    {
        int interfaceClass = 0;
        std::vector<Endpoint> endpoints;
    };
    struct Identity
    {
        QString name; // file name without ".json"
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        QString product;
        std::vector<Interface> interfaces;
    };

    explicit SimulatedBusPresence(QString directory, QObject* parent = nullptr);
    ~SimulatedBusPresence() override; // leaves the bus

    const QString& directory() const { return m_directory; }

    // Writes the description file (replacing any earlier identity). Any stale endpoint files of
    // the same name are removed first, so only bytes written while present are reported.
    bool appear(const Identity& identity, QString* error = nullptr);
    // Deletes the description file and the endpoint files; safe to call when absent.
    void leave();
    bool isPresent() const { return m_present; }
    const Identity& identity() const { return m_identity; }

    QString descriptionPath() const;
    QString endpointPath(std::uint8_t address) const;

    // The JSON text of a description, in the bus's format.
    static QByteArray describe(const Identity& identity);

signals:
    // Bytes the host appended to a bulk OUT endpoint file of the present device.
    void bulkOutReceived(std::uint8_t endpoint, const QByteArray& bytes);

private:
    void poll();

    QString m_directory;
    Identity m_identity;
    bool m_present = false;
    std::map<std::uint8_t, qint64> m_readOffsets; // bulk OUT endpoint -> bytes already reported
    QTimer m_pollTimer;
};
