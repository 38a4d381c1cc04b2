#pragma once

#include "QuorbelOSXUtility/SimulatedUsbDeviceHandle.h"
#include "QuorbelOSXUtility/UsbBus.h"

#include <map>
#include <mutex>
#include <optional>
#include <utility>

class QFileSystemWatcher;
class QTimer;

// A USB bus over a directory: each attached device is a description file NAME.json (see
// SimulatedUsbFormat.h), bulk OUT bytes go to NAME.ep<address>.out. The directory is watched
// for changes and rescanned periodically as a safety net. A file that cannot be read or
// parsed is skipped with one log line per version of the file and read again when it
// changes. A description file replaced by another one (a new inode) is a re-attachment:
// the old device is removed and the new one arrives. Device ids are the NAME part.
class SimulatedUsbBus : public UsbBus
{
    Q_OBJECT
public:
    static constexpr int kRescanIntervalMs = 1000;

    explicit SimulatedUsbBus(const QString& directory, QObject* parent = nullptr);
    ~SimulatedUsbBus() override;

    QString directory() const { return m_directory; }

    // Creates the directory when it does not exist yet (an emulator may start later).
    bool startWatching(std::uint16_t vendorId, std::uint16_t productId, QString* error) override;
    void stopWatching(std::uint16_t vendorId, std::uint16_t productId) override;
    std::vector<UsbDeviceInfo> devicesPresent(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<UsbDeviceHandle> open(const QString& deviceId, UsbResult* result) override;

    // Compares the directory with what is known now and reports the differences.
    void rescan();

private:
    using Ids = std::pair<std::uint16_t, std::uint16_t>;
    struct Known
    {
        UsbDeviceInfo info;
        SimulatedUsbDeviceHandle::FileIdentity identity;
    };
    struct Read
    {
        std::optional<SimulatedUsbDescription> description; // empty: unreadable or invalid
        SimulatedUsbDeviceHandle::FileIdentity identity;
        bool missing = false; // the file went away while it was being read
    };

    // Reads NAME.json; logs a rejected file once per version of it.
    Read readDevice(const QString& name);
    std::map<QString, Read> readAll();
    bool isWatched(std::uint16_t vendorId, std::uint16_t productId) const;
    // `absorb`: devices of these ids that are new are taken as present, not as arrivals.
    void scan(std::optional<Ids> absorb);

    QString m_directory;
    std::map<Ids, int> m_watched; // watch count per id pair
    std::map<QString, Known> m_known;
    // open() may run on another thread (the mode switch's queue); it shares only this.
    std::mutex m_rejectedMutex;
    std::map<QString, QString> m_rejected; // name -> version (identity, size, time) last logged
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_timer = nullptr;
    bool m_scanning = false;
};
