#pragma once

#include <QObject>
#include <QString>

class LoginItems;

// Starts Pikora at every login through the login helper: registers or unregisters the helper
// of `identifier` as a login item and tells whether it is registered.
//
// Changes are announced by hand, as will/did pairs named by key ("enabled", "startAtLogin"):
// reading startAtLogin() announces "enabled" only when the state it finds differs from
// enabled(); writing announces will "startAtLogin", will "enabled", did "enabled",
// did "startAtLogin", every time. Without an identifier every operation does nothing and
// startAtLogin() is false.
class StartAtLoginController : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kEnabledKey = "enabled";
    static constexpr const char* kStartAtLoginKey = "startAtLogin";

    // `items` (not owned) may be null: there are then no login items and every
    // registration fails.
    StartAtLoginController(LoginItems* items, const QString& identifier, QObject* parent = nullptr);

    QString identifier() const { return m_identifier; }
    // Stores the identifier, reads startAtLogin() once to refresh enabled() and logs the
    // state.
    void setIdentifier(const QString& identifier);

    // The last known state: true when the helper is registered.
    bool enabled() const { return m_enabled; }
    // The same as setStartAtLogin().
    void setEnabled(bool enabled);

    // Asks the login items: the first job labelled with the identifier, and its enabled
    // state; false when there is none.
    bool startAtLogin();
    void setStartAtLogin(bool startAtLogin);

signals:
    void willChangeValueForKey(const QString& key);
    void didChangeValueForKey(const QString& key);

private:
    LoginItems* m_items;
    QString m_identifier;
    bool m_enabled = false;
};
