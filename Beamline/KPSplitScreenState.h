#pragma once

// The receiver's split-screen layout as last reported: how many screens it shows and where
// this sender's picture is, counted from 1 (screen 1 of 1 is the whole screen). Position 0
// means that the receiver does not show this sender. Thread-safe.

#include "Beamline/KPDataTransmitter.h"

#include <atomic>

class KPSplitScreenState : public KPSplitScreenController
{
public:
    // The most screens a receiver may announce.
    static constexpr int kMaxScreens = 16;

    int screenNumber() const override { return m_number; }
    int screenPosition() const override { return m_position; }

    // Returns true when the layout changed.
    bool update(int number, int position)
    {
        const int oldNumber = m_number.exchange(number);
        const int oldPosition = m_position.exchange(position);
        return oldNumber != number || oldPosition != position;
    }

    // This sender's stream ended: the receiver no longer shows it. Whatever the receiver
    // announced last must not make a later stream look as if it already had the screen.
    void leave() { m_position = 0; }

private:
    std::atomic<int> m_number{1};
    std::atomic<int> m_position{0};
};
