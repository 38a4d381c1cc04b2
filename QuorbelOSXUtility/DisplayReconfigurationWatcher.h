#pragma once

#include "QuorbelOSXUtility/RandrSnapshot.h"

#include <QByteArray>
#include <QObject>
#include <cstdint>
#include <memory>

// Watches an X server for display reconfigurations (RandR screen, CRTC and output change
// events) and reports, once the server has settled, how each display changed as display
// change summary flags (see DisplayChangeSummary.h). Lives on the thread that creates it.
class DisplayReconfigurationWatcher : public QObject
{
    Q_OBJECT
public:
    // Events arriving this close together are one reconfiguration.
    static constexpr int kSettleMs = 50;

    // `x11Display` as for XOpenDisplay; empty = $DISPLAY.
    explicit DisplayReconfigurationWatcher(const QByteArray& x11Display = {}, QObject* parent = nullptr);
    ~DisplayReconfigurationWatcher() override;

    // False when there is no server with RandR 1.3 to watch.
    bool isWatching() const;

signals:
    void displayChanged(std::uint32_t display, std::uint32_t flags);

private:
    void readEvents();
    void compare();

    struct Impl;
    std::unique_ptr<Impl> d;
};
