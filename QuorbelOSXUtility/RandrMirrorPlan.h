#pragma once

#include "QuorbelOSXUtility/RandrSnapshot.h"

#include <QPoint>
#include <QSize>
#include <QString>
#include <cstdint>
#include <vector>

// What it takes to change mirroring: CRTC settings to apply in order, and a new screen size
// to set first when the screen must grow.
struct RandrMirrorPlan
{
    enum class Result
    {
        Changed,         // apply `changes`
        AlreadyMirrored, // nothing to do
        NotMirrored,     // nothing to do
        NoSuchDisplay,   // not a connected output
        MainDisplay,     // the main display cannot mirror itself
        NoSharedCrtc,    // the main display's CRTC cannot drive this output
        NoCommonMode,    // the output cannot show the main display's mode
        NoFreeCrtc,      // no CRTC left to show the output on its own
        ScreenTooSmall,  // the screen cannot grow to hold the output beside the others
        NoServer,        // no X server or no RandR 1.3 on it
        ServerRefused    // the server did not take the new configuration
    };
    struct CrtcConfig
    {
        std::uint32_t crtc = 0;
        QPoint position;
        std::uint32_t mode = 0; // 0 turns the CRTC off
        std::uint16_t rotation = 1;
        std::vector<std::uint32_t> outputs;
        bool operator==(const CrtcConfig&) const = default;
    };

    Result result = Result::NoSuchDisplay;
    std::vector<CrtcConfig> changes;
    QSize screenSize; // valid when the screen must first grow to this size

    // Makes `display` mirror the main display (`mirror`) or show its own area to the right
    // of everything else.
    static RandrMirrorPlan plan(const RandrSnapshot& snapshot, std::uint32_t display, bool mirror);
    static QString toString(Result result);
};
