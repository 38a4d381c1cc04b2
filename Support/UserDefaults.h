#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <memory>
#include <mutex>

class QSettings;

// Persistent user preferences over QSettings, with a change signal per key (emitted on the
// thread that made the change, only when the value really changed).
class UserDefaults : public QObject
{
    Q_OBJECT
public:
    // The process-wide defaults: the file given to setStandardFile() (the --settings option)
    // or the user's native settings for the application. setStandardFile() must come before
    // the first standard(); later calls are refused (logged) because callers hold references.
    static UserDefaults& standard();
    static void setStandardFile(const QString& path);

    explicit UserDefaults(const QString& iniFile, QObject* parent = nullptr);
    ~UserDefaults() override;

    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    void setValue(const QString& key, const QVariant& value);
    bool boolForKey(const QString& key) const;
    void setBool(const QString& key, bool value);
    void removeObject(const QString& key);
    void sync();

    // Calls fn(newValue) on context's thread whenever `key` changes.
    template <typename Fn> QMetaObject::Connection observe(const QString& key, QObject* context, Fn fn)
    {
        return connect(this, &UserDefaults::valueChanged, context,
                       [key, fn = std::move(fn)](const QString& changed, const QVariant& v) {
                           if (changed == key)
                               fn(v);
                       });
    }

signals:
    void valueChanged(const QString& key, const QVariant& value);

private:
    UserDefaults(std::unique_ptr<QSettings> settings, QObject* parent);
    bool storeLocked(const QString& key, const QVariant& value);
    std::unique_ptr<QSettings> m_settings;
    mutable std::recursive_mutex m_mutex;
};
