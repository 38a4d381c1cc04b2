#pragma once

#include <QByteArray>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// The display configuration of an X screen as RandR describes it, read at one moment: the
// outputs (a display is named by its output id), the CRTCs that drive them, the modes, and
// the screen size. Everything here is plain data, so decisions about displays (which is the
// main one, which mirrors which, how to mirror or stop mirroring) can be made and tested
// without a server. Mirroring is outputs sharing one CRTC; an output whose own CRTC covers
// exactly the area of an earlier display's CRTC mirrors that display too.
struct RandrSnapshot
{
    struct Mode
    {
        std::uint32_t id = 0;
        std::uint16_t width = 0;
        std::uint16_t height = 0;
    };
    struct Crtc
    {
        std::uint32_t id = 0;
        QRect rect; // empty when the CRTC is off
        std::uint32_t mode = 0;
        std::uint16_t rotation = 1;
        std::vector<std::uint32_t> outputs;  // outputs it drives now
        std::vector<std::uint32_t> possible; // outputs it can drive
    };
    struct Output
    {
        std::uint32_t id = 0;
        QString name;
        bool connected = true; // "unknown" counts as connected
        std::uint32_t crtc = 0;
        std::vector<std::uint32_t> crtcs; // CRTCs that can drive it
        std::vector<std::uint32_t> modes; // preferred ones first
        int preferredModes = 0;
        std::uint32_t mmWidth = 0;
        std::uint32_t mmHeight = 0;
        QByteArray edid;
    };

    std::vector<Output> outputs; // in the server's order
    std::vector<Crtc> crtcs;
    std::vector<Mode> modes;
    std::uint32_t primary = 0; // the primary output, 0 when none is set
    std::uint32_t configTimestamp = 0;
    QSize screenSize;
    QSize screenSizeMax;
    QSize screenSizeMm;
    bool openGL = false; // the server offers GLX

    const Output* output(std::uint32_t id) const;
    const Crtc* crtc(std::uint32_t id) const;
    const Mode* mode(std::uint32_t id) const;

    // Connected outputs that a CRTC shows, in the server's order, at most `max` of them.
    std::vector<std::uint32_t> activeDisplays(std::size_t max = 32) const;
    bool isActive(std::uint32_t display) const;
    // The primary output when it is active, else the active output at the origin, else the
    // first active one; 0 when there is none.
    std::uint32_t mainDisplay() const;
    // The display this one mirrors, or 0: for outputs sharing a CRTC, the main display when it
    // is among them, else the first of them, is mirrored by the others.
    std::uint32_t mirrorSourceOf(std::uint32_t display) const;
    // The area a display shows, in screen pixels; empty when it is not active.
    QRect boundsOf(std::uint32_t display) const;

    // Manufacturer (bytes 8-9, big-endian) and product code (bytes 10-11, little-endian) of
    // an EDID block; 0 when the block is too short.
    static std::uint32_t edidVendorNumber(const QByteArray& edid);
    static std::uint32_t edidModelNumber(const QByteArray& edid);
    // Internal panels (eDP, LVDS, DSI connectors).
    static bool isBuiltInOutputName(const QString& name);
};
