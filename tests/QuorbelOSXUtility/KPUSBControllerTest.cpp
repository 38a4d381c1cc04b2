#include "QuorbelOSXUtility/KPUSBController.h"

#include "QuorbelOSXUtility/SimulatedUsbBus.h"
#include "QuorbelOSXUtility/SimulatedUsbDevice.h"
#include "Support/NotificationCenter.h"
#include "tests/QuorbelOSXUtility/UsbLogCapture.h"
#include "tests/TestSupport/FakeUsbBus.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Posted
{
    std::string name;
    QString deviceId;
};

// Records every notification of interest posted on a private centre.
class Recorder
{
public:
    explicit Recorder(NotificationCenter& center)
    {
        for (const char* name : {kKPRawDeviceDidAddNotification, kKPRawDeviceDidRemoveNotification,
                                 kKPBulkDeviceDidAddNotification, kKPBulkDeviceDidRemoveNotification})
            m_observers.emplace_back(center, center.addObserver(name, nullptr, [this](const Notification& n) {
                EXPECT_EQ(n.object, nullptr);
                posted.push_back({n.name, n.userInfo.value(kKPUSBDeviceIdKey).toString()});
            }));
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const Posted& p : posted)
            out.push_back(p.name);
        return out;
    }
    std::vector<Posted> posted;

private:
    std::vector<NotificationObserver> m_observers;
};

FakeUsbBus::Device device(const QString& id, std::uint16_t vid, std::uint16_t pid)
{
    FakeUsbBus::Device d;
    d.info.id = id;
    d.info.vendorId = vid;
    d.info.productId = pid;
    return d;
}

class KPUSBControllerTest : public ::testing::Test
{
protected:
    QString writeDescription(const QByteArray& text)
    {
        const QString path = QDir(m_dir.path()).filePath("description.json");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        return path;
    }

    QTemporaryDir m_dir;
    NotificationCenter m_center;
    Recorder m_recorder{m_center};
    FakeUsbBus m_bus;
};

TEST(GetHexIntValue, ReadsHexWithOrWithoutPrefixUpToTheFirstNonDigit)
{
    bool ok = false;
    EXPECT_EQ(getHexIntValue("0x1234", &ok), 4660u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(getHexIntValue("1234", &ok), 4660u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(getHexIntValue("0X1dE1"), 0x1DE1u);
    EXPECT_EQ(getHexIntValue("  0xA101"), 0xA101u);
    EXPECT_EQ(getHexIntValue("FFFFFFFF"), 0xFFFFFFFFu);

    EXPECT_EQ(getHexIntValue("12zz", &ok), 0x12u);
    EXPECT_FALSE(ok) << "a partly readable value is flagged";
    for (const char* unreadable : {"", "zz", "0x", "-1", "100000000", "0xFFFFFFFFF"}) {
        EXPECT_EQ(getHexIntValue(unreadable, &ok), 0u) << unreadable;
        EXPECT_FALSE(ok) << unreadable;
    }
}

TEST_F(KPUSBControllerTest, TheShippedDescriptionNamesTheRawAccessory)
{
    EXPECT_EQ(KPUSBController::descriptionPathForChipModel(QString()), ":/PikoraAccessory.json");
    KPUSBController controller(KPUSBController::descriptionPathForChipModel("PikoraAccessory"), &m_center);
    EXPECT_EQ(controller.plistRawVID(), 0x1DE1u);
    EXPECT_EQ(controller.plistRawPID(), 0xA101u);
    EXPECT_EQ(controller.plistSubDisplayVID(), 0u);
    EXPECT_EQ(controller.plistCompressionRate(), 0.0f);
    EXPECT_STREQ(controller.plistUSBSCSIStorageClassInCString(), "usbscsistor");
    EXPECT_STREQ(controller.plistFramebufferClassInCString(), "myframebuffer_driver");

    // The shared instance reads the bundle's chip model, which is the same file.
    EXPECT_EQ(&KPUSBController::sharedKPUSBController(), &KPUSBController::sharedKPUSBController());
    EXPECT_EQ(KPUSBController::sharedKPUSBController().plistRawVID(), 0x1DE1u);
}

TEST_F(KPUSBControllerTest, ValuesAcceptTheirDocumentedFormsAndFallBackToDefaults)
{
    KPUSBController controller(writeDescription(R"({"MASS_STORAGE_VID": "1234", "MASS_STORAGE_PID": "0x1234",
        "SUB_DISPLAY_VID": 7649, "SUB_DISPLAY_PID": "a101", "COMPRESSION_RATE": "0.5",
        "USBSCSISTOR_CLASS": "", "FRAMEBUFFER_CLASS": "fb_driver", "EXTRA": true})"),
                               &m_center);
    EXPECT_EQ(controller.plistRawVID(), 4660u);
    EXPECT_EQ(controller.plistRawPID(), 4660u);
    EXPECT_EQ(controller.plistSubDisplayVID(), 7649u);
    EXPECT_EQ(controller.plistSubDisplayPID(), 0xA101u);
    EXPECT_FLOAT_EQ(controller.plistCompressionRate(), 0.5f);
    EXPECT_EQ(controller.plistUSBSCSIStorageClass(), "usbscsistor");
    EXPECT_EQ(controller.plistFramebufferClass(), "fb_driver");
    EXPECT_EQ(controller.deviceDict().value("EXTRA"), QVariant(true));

    KPUSBController numeric(writeDescription(R"({"COMPRESSION_RATE": 0.25, "FRAMEBUFFER_CLASS": ""})"),
                            &m_center);
    EXPECT_FLOAT_EQ(numeric.plistCompressionRate(), 0.25f);
    EXPECT_EQ(numeric.plistFramebufferClass(), "myframebuffer_driver");

    // Rates no float can hold are refused, not narrowed (that would be undefined behaviour).
    for (const char* rate : {"1e300", "\"1e300\"", "-1e300", "\"nan\"", "\"inf\""}) {
        UsbLogCapture log;
        KPUSBController huge(writeDescription(QByteArray(R"({"COMPRESSION_RATE": )") + rate + "}"),
                             &m_center);
        EXPECT_EQ(huge.plistCompressionRate(), 0.0f) << rate;
        EXPECT_EQ(log.linesContaining("is not a number").size(), 1) << rate;
    }
}

TEST_F(KPUSBControllerTest, AnUnusableDescriptionGivesItsLineAndNothingElse)
{
    struct Case
    {
        const char* what;
        std::optional<QByteArray> text; // nullopt: no file at all
        const char* line;
    };
    const Case cases[] = {
        {"missing", std::nullopt, "not found"},
        {"a directory", QByteArray("<dir>"), "is not a regular file"},
        {"empty", QByteArray(""), "is empty"},
        {"not JSON", QByteArray("MASS_STORAGE_VID = 0x1DE1"), "is not a JSON object"},
        {"a list", QByteArray(R"(["0x1DE1", "0xA101"])"), "is not a JSON object"},
        {"non-hex ids", QByteArray(R"({"MASS_STORAGE_VID": "vendor", "MASS_STORAGE_PID": "0xA101"})"),
         "\"MASS_STORAGE_VID\" = \"vendor\" is not hexadecimal"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(QDir(m_dir.path()).filePath("description.json"));
        QDir(m_dir.path()).rmdir("description.json");
        QString path = c.text ? writeDescription(*c.text) : QDir(m_dir.path()).filePath("description.json");
        if (c.text == QByteArray("<dir>")) {
            QFile::remove(path);
            ASSERT_TRUE(QDir(m_dir.path()).mkdir("description.json"));
        }
        m_bus.attach(device("raw", 0x1DE1, 0xA101));
        m_bus.attach(device("zero", 0, 0));

        UsbLogCapture log;
        KPUSBController controller(path, &m_center);
        EXPECT_EQ(controller.plistRawVID(), 0u);
        EXPECT_EQ(controller.setup(&m_bus), 0);
        m_bus.attach(device("late", 0, 0xA101));
        EXPECT_EQ(log.lines().size(), 1) << log.lines().join('\n').toStdString();
        EXPECT_EQ(log.linesContaining(c.line).size(), 1) << log.lines().join('\n').toStdString();
        EXPECT_TRUE(m_bus.watched().empty());
        EXPECT_TRUE(m_recorder.posted.empty());
        EXPECT_TRUE(m_bus.calls().empty());
    }
}

TEST_F(KPUSBControllerTest, EveryAttachedDeviceIsReportedDuringSetupAndLaterEventsAsTheyHappen)
{
    const QString path = writeDescription(R"({"MASS_STORAGE_VID": "0x1DE1", "MASS_STORAGE_PID": "0xA101",
        "SUB_DISPLAY_VID": "0x1DE1", "SUB_DISPLAY_PID": "0xA102"})");
    m_bus.attach(device("raw-1", 0x1DE1, 0xA101));
    m_bus.attach(device("raw-2", 0x1DE1, 0xA101));
    m_bus.attach(device("bulk", 0x1DE1, 0xA102));
    m_bus.attach(device("network", 0x0525, 0xA4A2));

    KPUSBController controller(path, &m_center);
    ASSERT_EQ(controller.setup(&m_bus), 0);
    EXPECT_EQ(m_recorder.names(),
              (std::vector<std::string>{"kKPRawDeviceDidAddNotification", "kKPRawDeviceDidAddNotification",
                                        "kKPBulkDeviceDidAddNotification"}));
    EXPECT_EQ(m_recorder.posted[0].deviceId, "raw-1");
    EXPECT_EQ(m_recorder.posted[1].deviceId, "raw-2");
    EXPECT_EQ(controller.setup(), 0) << "a second set-up does nothing";
    EXPECT_EQ(m_recorder.posted.size(), 3u);

    m_recorder.posted.clear();
    m_bus.attach(device("raw-3", 0x1DE1, 0xA101));
    m_bus.detach("raw-1");
    m_bus.detach("bulk");
    m_bus.detach("network");
    EXPECT_EQ(m_recorder.names(),
              (std::vector<std::string>{"kKPRawDeviceDidAddNotification", "kRawKPDeviceDidRemoveNotification",
                                        "kKPBulkDeviceDidRemoveNotification"}));
    EXPECT_EQ(m_recorder.posted[0].deviceId, "raw-3");
    EXPECT_EQ(m_recorder.posted[1].deviceId, "raw-1");
}

TEST_F(KPUSBControllerTest, ABusThatCannotWatchLeavesTheControllerInert)
{
    KPUSBController controller(
        writeDescription(R"({"MASS_STORAGE_VID": "0x1DE1", "MASS_STORAGE_PID": "0xA101"})"), &m_center);
    m_bus.startWatchingError = "no USB here";
    m_bus.attach(device("raw", 0x1DE1, 0xA101));
    UsbLogCapture log;
    EXPECT_EQ(controller.setup(&m_bus), -1);
    EXPECT_EQ(log.linesContaining("no USB here").size(), 1);
    m_bus.attach(device("raw-2", 0x1DE1, 0xA101));
    m_bus.detach("raw");
    EXPECT_TRUE(m_recorder.posted.empty());
}

TEST_F(KPUSBControllerTest, WorksOverTheSimulatedBus)
{
    QTemporaryDir busDir;
    SimulatedUsbDevice present(busDir.path(), "present");
    ASSERT_TRUE(present.plug(SimulatedUsbDevice::rawModeAccessory()));
    SimulatedUsbBus bus(busDir.path());

    KPUSBController controller(KPUSBController::descriptionPathForChipModel({}), &m_center);
    ASSERT_EQ(controller.setup(&bus), 0);
    ASSERT_EQ(m_recorder.posted.size(), 1u);
    EXPECT_EQ(m_recorder.posted[0].deviceId, "present");

    SimulatedUsbDevice later(busDir.path(), "later");
    ASSERT_TRUE(later.plug(SimulatedUsbDevice::rawModeAccessory()));
    ASSERT_TRUE(present.unplug());
    bus.rescan();
    ASSERT_EQ(m_recorder.posted.size(), 3u);
    EXPECT_EQ(m_recorder.posted[1].name, "kRawKPDeviceDidRemoveNotification");
    EXPECT_EQ(m_recorder.posted[1].deviceId, "present");
    EXPECT_EQ(m_recorder.posted[2].name, "kKPRawDeviceDidAddNotification");
    EXPECT_EQ(m_recorder.posted[2].deviceId, "later");
}

} // namespace
