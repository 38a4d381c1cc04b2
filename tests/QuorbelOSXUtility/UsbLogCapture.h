#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <mutex>

// Collects the diagnostic lines written while it lives (and still passes them on), so a test
// can check which lines an operation wrote.
class UsbLogCapture
{
public:
    UsbLogCapture()
    {
        std::lock_guard lock(mutex());
        current() = this;
        m_previous = qInstallMessageHandler(&UsbLogCapture::handle);
    }
    ~UsbLogCapture()
    {
        std::lock_guard lock(mutex());
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    UsbLogCapture(const UsbLogCapture&) = delete;
    UsbLogCapture& operator=(const UsbLogCapture&) = delete;

    QStringList lines() const
    {
        std::lock_guard lock(mutex());
        return m_lines;
    }
    QStringList linesContaining(const QString& text) const { return lines().filter(text); }
    void clear()
    {
        std::lock_guard lock(mutex());
        m_lines.clear();
    }

private:
    static std::recursive_mutex& mutex()
    {
        static std::recursive_mutex m;
        return m;
    }
    static UsbLogCapture*& current()
    {
        static UsbLogCapture* c = nullptr;
        return c;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        std::lock_guard lock(mutex());
        if (UsbLogCapture* self = current()) {
            self->m_lines << message;
            if (self->m_previous)
                self->m_previous(type, context, message);
        }
    }

    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};
