// Renders the popover the way a user sees it and saves the pictures used in the
// documentation:
//   xvfb-run -s "-screen 0 1280x800x24" pikora-ui-screenshots docs
// writes ui-popover-notification.png and ui-popover-dialog.png into the given folder. Under
// X11 the shown windows are captured from the screen; on other platforms (offscreen) the
// same scene is composed from the windows' own renderings.
#include "Pikora/UI/Dialog.h"
#include "Pikora/UI/PopoverUserInterface.h"
#include "Pikora/UI/PopoverWindow.h"
#include "Pikora/UI/PreferenceKeys.h"
#include "Pikora/UI/StatusItemWindow.h"
#include "Support/Logging.h"
#include "Support/UserDefaults.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <cstdio>

namespace {

// A plain desktop behind the status item, so the captures show the popover in place.
class Backdrop : public QWidget
{
public:
    Backdrop() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint)
    {
        setGeometry(QGuiApplication::primaryScreen()->geometry());
    }

    static void paintDesktop(QPainter& p, const QRect& r)
    {
        QLinearGradient g(r.topLeft(), r.bottomRight());
        g.setColorAt(0.0, QColor(0x2f, 0x4a, 0x6e));
        g.setColorAt(0.55, QColor(0x4c, 0x6f, 0x93));
        g.setColorAt(1.0, QColor(0x86, 0x9c, 0xb4));
        p.fillRect(r, g);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        paintDesktop(p, rect());
    }
};

void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(10);
    }
}

// Captures the screen area around the status item and the popover.
QImage capture(PopoverUserInterface& ui)
{
    StatusItemWindow* item = ui.statusItem()->window();
    PopoverWindow* popover = ui.popoverWindow();
    if (!item || !popover)
        return {};
    const QRect screenRect = QGuiApplication::primaryScreen()->geometry();
    const QRect area =
        item->frameGeometry().united(popover->frameGeometry()).adjusted(-28, -8, 28, 28) & screenRect;

    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        const QPixmap shot =
            QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        if (!shot.isNull())
            return shot.toImage();
    }
    // No screen to read back: compose the windows over the same desktop.
    QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(-area.topLeft());
    Backdrop::paintDesktop(p, screenRect);
    p.drawPixmap(item->pos(), item->grab());
    p.drawPixmap(popover->pos(), popover->grab());
    p.end();
    return image;
}

bool save(const QImage& image, const QString& path)
{
    if (image.isNull()) {
        std::fprintf(stderr, "nothing captured for %s\n", qPrintable(path));
        return false;
    }
    // Reject a capture that shows nothing but one colour (no window reached the screen).
    const QRgb first = image.pixel(0, 0);
    bool varied = false;
    for (int y = 0; y < image.height() && !varied; y += 3) {
        for (int x = 0; x < image.width() && !varied; x += 3)
            varied = image.pixel(x, y) != first;
    }
    if (!varied) {
        std::fprintf(stderr, "capture for %s is blank\n", qPrintable(path));
        return false;
    }
    if (!image.convertToFormat(QImage::Format_RGB32).save(path, "PNG", 9)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s (%dx%d)\n", qPrintable(path), image.width(), image.height());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Logging::install();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pikora"));
    const QStringList args = QApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", qPrintable(args.value(0)));
        return 2;
    }
    const QDir out(args.at(1));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    QTemporaryDir settings;
    UserDefaults defaults(settings.filePath(QStringLiteral("defaults.ini")));
    defaults.setBool(kVistrelPreferenceAllowRequest, true);

    Backdrop backdrop;
    backdrop.show();

    PopoverUserInterface::Options options;
    options.defaults = &defaults;
    options.statusItem = StatusItem::Presentation::Window;
    PopoverUserInterface ui(std::move(options));
    settle(300);

    bool ok = true;
    ui.showIsReadyWithAutoDismiss(false);
    settle(500);
    ok &= save(capture(ui), out.filePath(QStringLiteral("ui-popover-notification.png")));

    ui.setDialogTitle(QStringLiteral("Projection request"));
    ui.setDialogMessage(
        QStringLiteral("“Meeting Room 2” asks to project to the receiver while you are presenting."));
    for (const char* option : {"Replace Screen", "Share Screen", "Deny"})
        ui.addDialogWithOption(QString::fromLatin1(option), [](const QString&) {});
    ui.commitDialog();
    settle(500);
    ok &= save(capture(ui), out.filePath(QStringLiteral("ui-popover-dialog.png")));

    return ok ? 0 : 1;
}
