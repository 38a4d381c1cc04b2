// pikora-screencast-portal-emulator: a screen-cast portal backend for tests in a headless
// Wayland session (see ScreenCastBackend), with the pointer of a remote-desktop session
// (see RemoteDesktopBackend). It grabs the screen with grim and registers as
// org.freedesktop.impl.portal.desktop.pikora on the session bus; run xdg-desktop-portal with
// XDG_DESKTOP_PORTAL_DIR pointing at a directory holding the matching .portal file.
#include "RemoteDesktopBackend.h"
#include "ScreenCastBackend.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QProcess>
#include <QTextStream>
#include <QTimer>
#include <cstdio>

namespace {

// One grim picture (binary PPM) as BGRx rows.
bool grabWithGrim(QByteArray& bgrx, QSize& size)
{
    QProcess grim;
    grim.start(QStringLiteral("grim"), {QStringLiteral("-t"), QStringLiteral("ppm"), QStringLiteral("-")});
    if (!grim.waitForFinished(5000) || grim.exitCode() != 0)
        return false;
    const QByteArray ppm = grim.readAllStandardOutput();
    // "P6\n<w> <h>\n255\n" then RGB bytes.
    QList<QByteArray> header;
    int pos = 0;
    while (header.size() < 4 && pos < ppm.size()) {
        while (pos < ppm.size() && QChar(ppm[pos]).isSpace())
            ++pos;
        const int start = pos;
        while (pos < ppm.size() && !QChar(ppm[pos]).isSpace())
            ++pos;
        header << ppm.mid(start, pos - start);
    }
    ++pos;
    if (header.size() < 4 || header[0] != "P6")
        return false;
    const int w = header[1].toInt(), h = header[2].toInt();
    if (w <= 0 || h <= 0 || w > 8192 || h > 8192 || ppm.size() - pos < qsizetype(w) * h * 3)
        return false;
    bgrx.resize(qsizetype(w) * h * 4);
    const auto* src = reinterpret_cast<const unsigned char*>(ppm.constData() + pos);
    auto* dst = reinterpret_cast<unsigned char*>(bgrx.data());
    for (qsizetype i = 0; i < qsizetype(w) * h; ++i) {
        dst[i * 4 + 0] = src[i * 3 + 2];
        dst[i * 4 + 1] = src[i * 3 + 1];
        dst[i * 4 + 2] = src[i * 3 + 0];
        dst[i * 4 + 3] = 0xff;
    }
    size = QSize(w, h);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ScreenCastBackend::registerTypes();
    ScreenCastBackend backend(&grabWithGrim);
    new RemoteDesktopBackend(&backend); // an adaptor, owned by the backend
    // The pointer as metadata beside the picture instead of drawn in.
    backend.setCursorMetadata(qEnvironmentVariable("PIKORA_PORTAL_CURSOR") == QLatin1String("metadata"));
    QTextStream out(stdout);
    QObject::connect(&backend, &ScreenCastBackend::event, &app,
                     [&out](const QString& line) { out << line << Qt::endl; });
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &backend,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                QDBusConnection::ExportAdaptors) ||
        !bus.registerService(QStringLiteral("org.freedesktop.impl.portal.desktop.pikora"))) {
        std::fprintf(stderr, "cannot register on the session bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    out << "serving" << Qt::endl;
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, &backend, &ScreenCastBackend::refresh);
    refresh.start(250);
    return app.exec();
}
