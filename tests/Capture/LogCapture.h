#pragma once

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

// Collects the log lines written while it exists (and still passes them on).
class LogCapture
{
public:
    LogCapture()
    {
        current() = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    bool contains(const QString& text) const
    {
        for (const QString& line : lines())
            if (line.contains(text))
                return true;
        return false;
    }

private:
    static LogCapture*& current()
    {
        static LogCapture* instance = nullptr;
        return instance;
    }
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (LogCapture* self = current()) {
            {
                QMutexLocker lock(&self->m_mutex);
                self->m_lines.append(message);
            }
            if (self->m_previous)
                self->m_previous(type, context, message);
        }
    }
    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};
