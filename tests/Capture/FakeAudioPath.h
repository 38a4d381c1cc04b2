#pragma once

#include "Pikora/Capture/CaptureAudioPath.h"

#include <QStringList>
#include <mutex>

// Records what the capture session asks of the platform's audio side, and lets the test
// deliver captured buffers through the installed closure.
class FakeAudioPath : public CaptureAudioPath
{
public:
    void prepareAudioDevice(const QString& name, const QString& prefix) override
    {
        record(QStringLiteral("prepare %1 %2").arg(name, prefix));
    }
    void releaseAudioDevice() override { record(QStringLiteral("release")); }
    void setupAudioComponents() override { record(QStringLiteral("remember defaults")); }
    void setAudioComponentsTo(const QString& name) override { record(QStringLiteral("switch to ") + name); }
    void restoreAudioComponents() override { record(QStringLiteral("restore defaults")); }
    bool hasCaptureObject() const override
    {
        std::lock_guard lock(m_mutex);
        return m_created;
    }
    void createCaptureObject(const QString& prefix) override
    {
        record(QStringLiteral("create capture ") + prefix);
        std::lock_guard lock(m_mutex);
        m_created = true;
    }
    void setCaptureResultBlock(CaptureResultBlock block) override
    {
        std::lock_guard lock(m_mutex);
        m_block = std::move(block);
    }
    void startCapture() override { record(QStringLiteral("start capture")); }
    void stopCapture() override { record(QStringLiteral("stop capture")); }

    // Hands a buffer to the installed closure, as the capture thread would.
    void deliver(const QByteArray& bytes, qint32 status = 0)
    {
        CaptureResultBlock block;
        {
            std::lock_guard lock(m_mutex);
            block = m_block;
        }
        if (block)
            block(bytes, status);
    }
    QStringList takeCalls()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_calls, {});
    }

private:
    void record(const QString& call)
    {
        std::lock_guard lock(m_mutex);
        m_calls.append(call);
    }
    mutable std::mutex m_mutex;
    QStringList m_calls;
    bool m_created = false;
    CaptureResultBlock m_block;
};
