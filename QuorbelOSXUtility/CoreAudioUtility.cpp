#include "QuorbelOSXUtility/CoreAudioUtility.h"

#include "QuorbelOSXUtility/PulseConnection.h"
#include "QuorbelOSXUtility/UtilityLogging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

using AudioDeviceID = CoreAudioUtility::AudioDeviceID;

constexpr AudioDeviceID kSourceFlag = 0x80000000u;
constexpr qint64 kMaxStateFileSize = 64 * 1024;

struct ProvidedModule
{
    std::uint32_t index = 0;
    QString name;
    QString argument;
};

struct State
{
    std::mutex mutex;
    AudioDeviceID originalInput = 0;
    AudioDeviceID originalOutput = 0;
    std::vector<ProvidedModule> modules; // in load order
    QString stateFile;
};

State& state()
{
    static State s;
    return s;
}

std::optional<AudioDeviceID> sinkId(std::uint32_t index)
{
    if (index >= kSourceFlag - 1)
        return std::nullopt;
    return index + 1;
}

std::optional<AudioDeviceID> sourceId(std::uint32_t index)
{
    if (index >= kSourceFlag - 1)
        return std::nullopt;
    return kSourceFlag | (index + 1);
}

// What the server holds at one moment.
struct Snapshot
{
    std::vector<PulseConnection::Sink> sinks;
    std::vector<PulseConnection::Source> sources;

    const PulseConnection::Sink* sink(AudioDeviceID id) const
    {
        if (id == 0 || (id & kSourceFlag))
            return nullptr;
        for (const auto& s : sinks)
            if (s.index + 1 == id)
                return &s;
        return nullptr;
    }
    const PulseConnection::Source* source(AudioDeviceID id) const
    {
        if (!(id & kSourceFlag))
            return nullptr;
        for (const auto& s : sources)
            if (!s.monitorOfSink && s.index + 1 == (id & ~kSourceFlag))
                return &s;
        return nullptr;
    }
    std::optional<QString> name(AudioDeviceID id) const
    {
        if (const auto* s = sink(id))
            return s->description;
        if (const auto* s = source(id))
            return s->description;
        return std::nullopt;
    }
    // The device a default source stands for: a monitor stands for its sink.
    AudioDeviceID deviceForSourceName(const QString& name) const
    {
        for (const auto& s : sources) {
            if (s.name != name)
                continue;
            if (s.monitorOfSink)
                return sinkId(*s.monitorOfSink).value_or(0);
            return sourceId(s.index).value_or(0);
        }
        return 0;
    }
    AudioDeviceID deviceForSinkName(const QString& name) const
    {
        for (const auto& s : sinks)
            if (s.name == name)
                return sinkId(s.index).value_or(0);
        return 0;
    }
};

std::optional<Snapshot> snapshot(PulseConnection& connection, QString* error, int* code)
{
    Snapshot snap;
    auto sinks = connection.sinks(error, code);
    if (!sinks)
        return std::nullopt;
    auto sources = connection.sources(error, code);
    if (!sources)
        return std::nullopt;
    snap.sinks = std::move(*sinks);
    snap.sources = std::move(*sources);
    return snap;
}

// --- the state file -------------------------------------------------------------------

QString defaultStateFile()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/pikora/audio-devices.json");
}

QString stateFileLocked()
{
    State& s = state();
    return s.stateFile.isEmpty() ? defaultStateFile() : s.stateFile;
}

// The file's object; empty when missing or unusable (logged).
QJsonObject readStateLocked()
{
    QFile file(stateFileLocked());
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxStateFileSize) {
        qCWarning(lcAudioDevices).noquote() << "audio: ignoring unreadable state file" << file.fileName();
        return {};
    }
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject()) {
        qCWarning(lcAudioDevices).noquote() << "audio: ignoring malformed state file" << file.fileName();
        return {};
    }
    return doc.object();
}

void writeStateLocked(const QJsonObject& object)
{
    const QString path = stateFileLocked();
    if (object.isEmpty()) {
        QFile::remove(path);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) < 0 || !file.commit())
        qCWarning(lcAudioDevices).noquote() << "audio: cannot write the state file" << path;
}

QJsonArray modulesJson(const std::vector<ProvidedModule>& modules)
{
    QJsonArray array;
    for (const auto& m : modules)
        array.append(QJsonObject{{QStringLiteral("index"), qint64(m.index)},
                                 {QStringLiteral("name"), m.name},
                                 {QStringLiteral("argument"), m.argument}});
    return array;
}

bool safeForModuleArgument(const QString& s)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9 _.\\-]+$"));
    return allowed.match(s).hasMatch();
}

std::unique_ptr<PulseConnection> connectOrLog(const char* what, int* code = nullptr)
{
    QString error;
    auto connection = PulseConnection::connect(&error);
    if (!connection) {
        if (code)
            *code = -1;
        qCWarning(lcAudioDevices).noquote() << QStringLiteral("%1: %2").arg(QLatin1String(what), error);
    }
    return connection;
}

} // namespace

std::optional<QList<AudioDeviceID>> CoreAudioUtility::audioDevices()
{
    QString error;
    int code = 0;
    auto connection = PulseConnection::connect(&error);
    if (!connection) {
        std::fprintf(stderr, "AudioObjectGetPropertyDataSize (kAudioHardwarePropertyDevices) failed: %i\n",
                     -1);
        qCWarning(lcAudioDevices).noquote() << "audio:" << error;
        return std::nullopt;
    }
    const std::optional<Snapshot> snap = snapshot(*connection, &error, &code);
    if (!snap) {
        std::fprintf(stderr, "AudioObjectGetPropertyData (kAudioHardwarePropertyDevices) failed: %i\n", code);
        qCWarning(lcAudioDevices).noquote() << "audio:" << error;
        return std::nullopt;
    }
    QList<AudioDeviceID> devices;
    for (const auto& s : snap->sinks)
        if (auto id = sinkId(s.index))
            devices.append(*id);
    for (const auto& s : snap->sources)
        if (!s.monitorOfSink)
            if (auto id = sourceId(s.index))
                devices.append(*id);
    return devices;
}

AudioDeviceID CoreAudioUtility::audioDeviceWithName(const QString& name)
{
    // One snapshot for the whole walk: names and identifiers belong to the same moment.
    auto connection = connectOrLog("audioDeviceWithName");
    if (!connection)
        return 0;
    QString error;
    const std::optional<Snapshot> snap = snapshot(*connection, &error, nullptr);
    if (!snap) {
        qCWarning(lcAudioDevices).noquote() << "audio:" << error;
        return 0;
    }
    for (const auto& s : snap->sinks)
        if (s.description == name)
            return sinkId(s.index).value_or(0);
    for (const auto& s : snap->sources)
        if (!s.monitorOfSink && s.description == name)
            return sourceId(s.index).value_or(0);
    return 0;
}

std::optional<QString> CoreAudioUtility::audioDeviceNameWithID(AudioDeviceID device)
{
    int code = 0;
    QString error;
    auto connection = PulseConnection::connect(&error);
    std::optional<Snapshot> snap = connection ? snapshot(*connection, &error, &code) : std::nullopt;
    std::optional<QString> name = snap ? snap->name(device) : std::nullopt;
    if (!name) {
        if (snap)
            error = QStringLiteral("no device %1").arg(device);
        qCWarning(lcAudioDevices).noquote()
            << QStringLiteral("error:Error Domain=PulseAudio Code=%1 \"%2\"").arg(code).arg(error);
    }
    return name;
}

std::optional<QString> CoreAudioUtility::serverNameWithID(AudioDeviceID device)
{
    auto connection = connectOrLog("serverNameWithID");
    if (!connection)
        return std::nullopt;
    QString error;
    const std::optional<Snapshot> snap = snapshot(*connection, &error, nullptr);
    if (!snap)
        return std::nullopt;
    if (const auto* s = snap->sink(device))
        return s->name;
    if (const auto* s = snap->source(device))
        return s->name;
    return std::nullopt;
}

namespace {

AudioDeviceID currentDevice(bool input)
{
    const char* what = input ? "+[CoreAudioUtility currentInputAudioDevice]"
                             : "+[CoreAudioUtility currentOutputAudioDevice]";
    QString error;
    int code = 0;
    auto connection = PulseConnection::connect(&error);
    std::optional<PulseConnection::ServerInfo> info =
        connection ? connection->serverInfo(&error, &code) : std::nullopt;
    std::optional<Snapshot> snap = info ? snapshot(*connection, &error, &code) : std::nullopt;
    if (!snap) {
        qCWarning(lcAudioDevices).noquote()
            << QStringLiteral("%1 error:%2").arg(QLatin1String(what)).arg(unsigned(code), 0, 16);
        return 0;
    }
    return input ? snap->deviceForSourceName(info->defaultSourceName)
                 : snap->deviceForSinkName(info->defaultSinkName);
}

bool setCurrentDevice(AudioDeviceID device, bool input)
{
    QString error;
    int code = 0;
    auto connection = PulseConnection::connect(&error);
    std::optional<Snapshot> snap = connection ? snapshot(*connection, &error, &code) : std::nullopt;
    bool ok = false;
    QString name;
    if (snap) {
        if (const auto* sink = snap->sink(device)) {
            name = sink->description;
            ok = input ? connection->setDefaultSource(sink->monitorSourceName, &error, &code)
                       : connection->setDefaultSink(sink->name, &error, &code);
        } else if (const auto* source = snap->source(device); source && input) {
            name = source->description;
            ok = connection->setDefaultSource(source->name, &error, &code);
        } else {
            code = -1;
            error = device == 0
                        ? QStringLiteral("no device")
                        : QStringLiteral("device %1 has no %2").arg(device).arg(input ? "input" : "output");
        }
    }
    if (!ok) {
        std::fprintf(stderr, "%d\n", code);
        qCWarning(lcAudioDevices).noquote()
            << QStringLiteral("audio: cannot set the default %1 to %2: %3")
                   .arg(input ? QStringLiteral("input") : QStringLiteral("output"))
                   .arg(device)
                   .arg(error);
        return false;
    }
    qCInfo(lcAudioDevices).noquote()
        << (input ? QStringLiteral("Set current input audio device to \"%1\"").arg(name)
                  : QStringLiteral("Set current output audio device to \"%1\"").arg(name));
    return true;
}

} // namespace

AudioDeviceID CoreAudioUtility::currentInputAudioDevice()
{
    return currentDevice(true);
}

AudioDeviceID CoreAudioUtility::currentOutputAudioDevice()
{
    return currentDevice(false);
}

bool CoreAudioUtility::setCurrentAudioInputDeviceWithDevice(AudioDeviceID device)
{
    return setCurrentDevice(device, true);
}

bool CoreAudioUtility::setCurrentAudioOutputDeviceWithDevice(AudioDeviceID device)
{
    return setCurrentDevice(device, false);
}

void CoreAudioUtility::setupAudioComponents()
{
    const AudioDeviceID input = currentInputAudioDevice();
    const AudioDeviceID output = currentOutputAudioDevice();
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.originalInput = input;
    s.originalOutput = output;
    qCInfo(lcAudioDevices).noquote()
        << QStringLiteral("originalAudioInputDevice:%1, originalAudioOutputDevice:%2").arg(input).arg(output);

    // Durable copy: the server's own names (identifiers do not survive a server restart).
    // The first remembered defaults stay until they are restored: a second set-up while
    // switched must not overwrite the user's devices with ours.
    QJsonObject file = readStateLocked();
    if (file.contains(QStringLiteral("input")) || file.contains(QStringLiteral("output")))
        return;
    auto connection = connectOrLog("setupAudioComponents");
    if (!connection)
        return;
    QString error;
    const std::optional<PulseConnection::ServerInfo> info = connection->serverInfo(&error);
    if (!info)
        return;
    file.insert(QStringLiteral("input"), info->defaultSourceName);
    file.insert(QStringLiteral("output"), info->defaultSinkName);
    writeStateLocked(file);
}

void CoreAudioUtility::setAudioComponentsTo(const QString& deviceName)
{
    const AudioDeviceID device = audioDeviceWithName(deviceName);
    setCurrentAudioInputDeviceWithDevice(device);
    setCurrentAudioOutputDeviceWithDevice(device);
    qCInfo(lcAudioDevices).noquote() << "------------------------after------------------------------";
    qCInfo(lcAudioDevices).noquote() << QStringLiteral("Current input:%1, current output:%2")
                                            .arg(currentInputAudioDevice())
                                            .arg(currentOutputAudioDevice());
}

void CoreAudioUtility::restoreAudioComponents()
{
    AudioDeviceID input = 0;
    AudioDeviceID output = 0;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        input = s.originalInput;
        output = s.originalOutput;
    }
    const bool inputOk = setCurrentAudioInputDeviceWithDevice(input);
    const bool outputOk = setCurrentAudioOutputDeviceWithDevice(output);
    if (inputOk && outputOk) {
        State& s = state();
        std::lock_guard lock(s.mutex);
        QJsonObject file = readStateLocked();
        file.remove(QStringLiteral("input"));
        file.remove(QStringLiteral("output"));
        writeStateLocked(file);
    }
}

AudioDeviceID CoreAudioUtility::originalAudioInputDevice()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.originalInput;
}

AudioDeviceID CoreAudioUtility::originalAudioOutputDevice()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.originalOutput;
}

bool CoreAudioUtility::provideAudioDevice(const QString& deviceName, const QString& namePrefix)
{
    if (!safeForModuleArgument(deviceName) || !safeForModuleArgument(namePrefix) || namePrefix.isEmpty()) {
        qCWarning(lcAudioDevices).noquote() << "audio: cannot provide a device named" << deviceName;
        return false;
    }
    auto connection = connectOrLog("provideAudioDevice");
    if (!connection)
        return false;
    QString error;
    std::optional<Snapshot> snap = snapshot(*connection, &error, nullptr);
    if (!snap) {
        qCWarning(lcAudioDevices).noquote() << "audio:" << error;
        return false;
    }

    const QString sinkName =
        namePrefix + QLatin1Char('_') + QString(deviceName).replace(QLatin1Char(' '), QLatin1Char('_'));
    const PulseConnection::Sink* sink = nullptr;
    for (const auto& s : snap->sinks)
        if (s.description == deviceName)
            sink = &s;
    bool hasCaptureSource = false;
    for (const auto& s : snap->sources)
        if (!s.monitorOfSink && s.name.startsWith(namePrefix))
            hasCaptureSource = true;
    if (sink && hasCaptureSource)
        return true;

    State& st = state();
    std::lock_guard lock(st.mutex);
    auto load = [&](const QString& module, const QString& argument) -> bool {
        const std::optional<std::uint32_t> index = connection->loadModule(module, argument, &error);
        if (!index) {
            qCWarning(lcAudioDevices).noquote() << "audio: cannot load" << module << argument << "-" << error;
            return false;
        }
        st.modules.push_back({*index, module, argument});
        QJsonObject file = readStateLocked();
        file.insert(QStringLiteral("modules"), modulesJson(st.modules));
        writeStateLocked(file);
        qCInfo(lcAudioDevices).noquote() << "audio: loaded" << module << argument << "as module" << *index;
        return true;
    };
    QString monitor;
    if (sink) {
        monitor = sink->monitorSourceName;
    } else {
        const QString argument =
            QStringLiteral(
                "sink_name=%1 rate=44100 channels=2 format=s16le sink_properties=\"device.description='%2'\"")
                .arg(sinkName, deviceName);
        if (!load(QStringLiteral("module-null-sink"), argument))
            return false;
        monitor = sinkName + QStringLiteral(".monitor");
    }
    if (!hasCaptureSource) {
        const QString argument =
            QStringLiteral("source_name=%1.input master=%2 source_properties=\"device.description='%3'\"")
                .arg(sinkName, monitor, deviceName);
        if (!load(QStringLiteral("module-remap-source"), argument))
            return false;
    }
    return true;
}

void CoreAudioUtility::removeProvidedAudioDevice()
{
    State& st = state();
    std::lock_guard lock(st.mutex);
    if (st.modules.empty())
        return;
    auto connection = connectOrLog("removeProvidedAudioDevice");
    if (!connection)
        return; // kept in the state file for the next start
    while (!st.modules.empty()) {
        const ProvidedModule m = st.modules.back();
        QString error;
        if (!connection->unloadModule(m.index, &error))
            qCWarning(lcAudioDevices).noquote() << "audio: cannot unload module" << m.index << "-" << error;
        else
            qCInfo(lcAudioDevices).noquote() << "audio: unloaded" << m.name << "module" << m.index;
        st.modules.pop_back();
    }
    QJsonObject file = readStateLocked();
    file.remove(QStringLiteral("modules"));
    writeStateLocked(file);
}

bool CoreAudioUtility::hasProvidedAudioDevice()
{
    State& st = state();
    std::lock_guard lock(st.mutex);
    return !st.modules.empty();
}

QString CoreAudioUtility::stateFile()
{
    std::lock_guard lock(state().mutex);
    return stateFileLocked();
}

void CoreAudioUtility::setStateFile(const QString& path)
{
    std::lock_guard lock(state().mutex);
    state().stateFile = path;
}

bool CoreAudioUtility::restoreAfterUnexpectedExit()
{
    State& st = state();
    std::lock_guard lock(st.mutex);
    const QJsonObject file = readStateLocked();
    if (file.isEmpty()) {
        QFile::remove(stateFileLocked()); // unusable: nothing can be done with it
        return true;
    }
    auto connection = connectOrLog("restoreAfterUnexpectedExit");
    if (!connection)
        return false;
    qCInfo(lcAudioDevices).noquote() << "audio: a previous run left audio devices switched; restoring them";
    QString error;
    const QString input = file.value(QStringLiteral("input")).toString();
    const QString output = file.value(QStringLiteral("output")).toString();
    std::optional<Snapshot> snap = snapshot(*connection, &error, nullptr);
    if (!snap)
        return false;
    // Defaults first, while the devices we created still exist to be switched away from.
    if (!output.isEmpty()) {
        if (snap->deviceForSinkName(output) == 0)
            qCWarning(lcAudioDevices).noquote() << "audio: the previous output" << output << "is gone";
        else if (connection->setDefaultSink(output, &error))
            qCInfo(lcAudioDevices).noquote() << "audio: default output restored to" << output;
    }
    if (!input.isEmpty()) {
        if (snap->deviceForSourceName(input) == 0)
            qCWarning(lcAudioDevices).noquote() << "audio: the previous input" << input << "is gone";
        else if (connection->setDefaultSource(input, &error))
            qCInfo(lcAudioDevices).noquote() << "audio: default input restored to" << input;
    }
    const QJsonArray modules = file.value(QStringLiteral("modules")).toArray();
    for (auto it = modules.end(); it != modules.begin();) {
        --it;
        const QJsonObject m = it->toObject();
        const qint64 index = m.value(QStringLiteral("index")).toInteger(-1);
        if (index < 0 || index > qint64(UINT32_MAX))
            continue;
        // Only our own module: an index may have been reused by the server since.
        const std::optional<PulseConnection::Module> current =
            connection->module(std::uint32_t(index), &error);
        if (!current || current->name != m.value(QStringLiteral("name")).toString() ||
            current->argument != m.value(QStringLiteral("argument")).toString())
            continue;
        if (connection->unloadModule(std::uint32_t(index), &error))
            qCInfo(lcAudioDevices).noquote()
                << "audio: unloaded" << current->name << "module" << index << "left by a previous run";
    }
    writeStateLocked({});
    return true;
}
