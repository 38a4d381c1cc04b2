#pragma once

#include "QuorbelOSXUtility/SimulatedUsbFormat.h"
#include "QuorbelOSXUtility/UsbBus.h"

#include <optional>
#include <set>

struct stat;

// An opened device of the simulated bus. It stays bound to the description file it was
// opened from: once that file is removed or replaced (the device was unplugged or
// re-enumerated) every operation gives NoDevice. Bulk OUT writes are appended to
// NAME.ep<address>.out in one write each.
class SimulatedUsbDeviceHandle : public UsbDeviceHandle
{
public:
    // Which file a description was read from: device and inode numbers and the time it was
    // last written. A description file is written once per attachment, so a different
    // identity under the same name is a different attachment.
    struct FileIdentity
    {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 modifiedNs = 0;
        bool operator==(const FileIdentity& other) const = default;
    };
    static std::optional<FileIdentity> identityOf(const QString& path);
    static FileIdentity identityOf(const struct stat& st);

    SimulatedUsbDeviceHandle(const QString& directory, const QString& name,
                             SimulatedUsbDescription description, FileIdentity identity);
    ~SimulatedUsbDeviceHandle() override;

    UsbResult interfaces(std::vector<UsbInterface>& out) override;
    UsbResult claimInterface(std::uint8_t number) override;
    UsbResult releaseInterface(std::uint8_t number) override;
    UsbResult bulkWrite(std::uint8_t endpoint, const QByteArray& data, std::chrono::milliseconds timeout,
                        int* transferred) override;

private:
    bool stillAttached() const;

    QString m_directory;
    QString m_name;
    SimulatedUsbDescription m_description;
    FileIdentity m_identity;
    std::set<std::uint8_t> m_claimed;
};
