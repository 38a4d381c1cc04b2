#pragma once

#include "Pikora/StartAtLoginController/LoginItems.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Login items as XDG autostart entries: the user's autostart directory
// ($XDG_CONFIG_HOME/autostart, ~/.config/autostart without it) holds one desktop entry per
// item, "<identifier>.desktop". An item is enabled unless its entry says "Hidden=true" or
// "X-GNOME-Autostart-enabled=false". Registering writes the entry with the login helper as
// its Exec (replacing whatever was there); unregistering removes it.
//
// Entries are files anyone may drop there: at most kMaxEntries are read, each only up to
// kMaxEntrySize bytes, and an entry that cannot be read counts as disabled.
class XdgAutostartLoginItems : public LoginItems
{
public:
    static constexpr int kMaxEntries = 1024;
    static constexpr qint64 kMaxEntrySize = 64 * 1024;

    // `helperExecutable` is the absolute path written as Exec; it must exist and be
    // executable for a registration to succeed. An empty `autostartDirectory` means
    // defaultAutostartDirectory(), looked up again on every call.
    explicit XdgAutostartLoginItems(QString helperExecutable, QString autostartDirectory = {});

    static QString defaultAutostartDirectory();
    // The installed login helper beside an application installed in `applicationDirectory`
    // (<prefix>/bin -> <prefix>/libexec/pikora/PikoraLoginHelper).
    static QString helperPathForApplicationDirectory(const QString& applicationDirectory);
    // `argument` as one argument of an Exec value, quoted and escaped as a desktop entry
    // needs it; nothing for text an Exec value cannot carry (line breaks, NUL).
    static std::optional<QString> execArgument(const QString& argument);
    // Whether the desktop entry text describes an enabled autostart item.
    static bool isEnabledEntry(const QByteArray& contents);

    QString autostartDirectory() const;
    QString helperExecutable() const { return m_helperExecutable; }
    // The entry file of `identifier`; empty when the identifier cannot name a file.
    QString entryPath(const QString& identifier) const;

    std::vector<Job> jobDictionaries() const override;
    bool setLoginItemEnabled(const QString& identifier, bool enabled) override;

private:
    bool writeEntry(const QString& path);
    bool removeEntry(const QString& path);

    QString m_helperExecutable;
    QString m_autostartDirectory;
};
