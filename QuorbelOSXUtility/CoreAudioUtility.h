#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

// The machine's audio devices and its default input and output, on the sound server
// (PulseAudio, or PipeWire's pulse server).
//
// A device is a sink (an output; its monitor is the device's input side, so making a sink
// the default input makes its monitor the default source) or a source that is not a monitor
// (an input only). Its name is the description the desktop shows ("Built-in Audio",
// "Sonvex"). Identifiers are valid while the server runs; 0 means none.
//
// Forwarding the sound: setupAudioComponents() remembers the defaults,
// setAudioComponentsTo("Sonvex") switches both, restoreAudioComponents() puts them back.
// The remembered defaults are also written to a small state file, so that a process that
// ends without restoring (a crash, a kill) has them restored by restoreAfterUnexpectedExit()
// at its next start.
//
// Where the machine has no such device, provideAudioDevice() creates one on the server: a
// null sink with the given description whose sink name begins with the given prefix, and a
// source of the same description that carries the sink's monitor (capture libraries list
// monitors poorly). removeProvidedAudioDevice() unloads both; restoreAfterUnexpectedExit()
// unloads them when a previous process left them behind.
//
// Every operation talks to the server synchronously with a bounded wait (a few seconds at
// most) and may be called from any thread, one at a time.
class CoreAudioUtility
{
public:
    using AudioDeviceID = std::uint32_t;

    static bool setCurrentAudioInputDeviceWithDevice(AudioDeviceID device);
    static bool setCurrentAudioOutputDeviceWithDevice(AudioDeviceID device);
    // Sinks first, then sources, each in the server's order; nothing when the server
    // cannot be asked.
    static std::optional<QList<AudioDeviceID>> audioDevices();
    static AudioDeviceID audioDeviceWithName(const QString& name);
    static AudioDeviceID currentInputAudioDevice();
    static AudioDeviceID currentOutputAudioDevice();
    static std::optional<QString> audioDeviceNameWithID(AudioDeviceID device);

    static void setupAudioComponents();
    static void setAudioComponentsTo(const QString& deviceName);
    static void restoreAudioComponents();
    static AudioDeviceID originalAudioInputDevice();
    static AudioDeviceID originalAudioOutputDevice();

    // True when a device of that name exists or was created.
    static bool provideAudioDevice(const QString& deviceName, const QString& namePrefix);
    static void removeProvidedAudioDevice();
    static bool hasProvidedAudioDevice();

    // The state file ($XDG_STATE_HOME/pikora/audio-devices.json unless set).
    static QString stateFile();
    static void setStateFile(const QString& path);
    // Puts back what a previous process left switched or created. True when there was
    // nothing to do or everything was put back; the file is kept when the server cannot be
    // reached, for the next start.
    static bool restoreAfterUnexpectedExit();

    // The server's names behind a device (a sink's name for a sink), for tests and logs.
    static std::optional<QString> serverNameWithID(AudioDeviceID device);
};
