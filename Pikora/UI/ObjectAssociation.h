#pragma once

#include <QByteArray>
#include <QObject>
#include <QtGlobal>
#include <type_traits>

// A typed slot that lets any QObject carry one extra object of type T, owned by the host:
// the associated object becomes the host's child and dies with it. Each ObjectAssociation
// instance is a separate slot (its key is derived from its own address). Replacing or
// clearing a value releases the previous one with deleteLater(), so a value may be replaced
// from inside one of its own calls.
template <typename T> class ObjectAssociation
{
    static_assert(std::is_base_of_v<QObject, T>, "ObjectAssociation holds QObjects");

public:
    ObjectAssociation()
        : m_key(QByteArrayLiteral("pikora.association.") + QByteArray::number(quintptr(this), 16))
    {
    }
    ObjectAssociation(const ObjectAssociation&) = delete;
    ObjectAssociation& operator=(const ObjectAssociation&) = delete;

    // The object associated with `host`, nullptr when none. An associated object of another
    // type is a programming error.
    T* get(const QObject* host) const
    {
        QObject* found = host->findChild<QObject*>(QString::fromLatin1(m_key), Qt::FindDirectChildrenOnly);
        if (!found)
            return nullptr;
        T* typed = qobject_cast<T*>(found);
        if (!typed)
            qFatal("ObjectAssociation: %s holds a %s under %s", host->metaObject()->className(),
                   found->metaObject()->className(), m_key.constData());
        return typed;
    }

    // Associates `value` with `host` (nullptr removes the association).
    void set(QObject* host, T* value)
    {
        if (T* previous = get(host); previous && previous != value) {
            previous->setObjectName(QString());
            previous->deleteLater();
        }
        if (value) {
            value->setParent(host);
            value->setObjectName(QString::fromLatin1(m_key));
        }
    }

private:
    QByteArray m_key;
};
