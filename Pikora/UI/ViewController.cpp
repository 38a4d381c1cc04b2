#include "Pikora/UI/ViewController.h"

#include <QWidget>

ViewController::ViewController(QObject* parent) : QObject(parent) {}

ViewController::~ViewController()
{
    delete m_view.data();
}

QWidget* ViewController::view()
{
    if (!m_view) {
        m_view = loadView();
        viewDidLoad();
    }
    return m_view.data();
}

QString ViewController::description() const
{
    return QStringLiteral("<%1: 0x%2>")
        .arg(QString::fromLatin1(metaObject()->className()))
        .arg(reinterpret_cast<quintptr>(this), 0, 16);
}
