#include "Pikora/UI/AboutPanel.h"

#include "Pikora/UI/Images.h"
#include "Support/BundleInfo.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

AboutPanel::AboutPanel(QWidget* parent) : QDialog(parent)
{
    const BundleInfo& bundle = BundleInfo::main();
    QString name = bundle.stringValue(QStringLiteral("CFBundleName"));
    if (name.isEmpty())
        name = QStringLiteral("Pikora");
    setWindowTitle(tr("About %1").arg(name));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 16);
    layout->setSpacing(6);

    auto* picture = new QLabel(this);
    const QColor tint = palette().color(QPalette::WindowText);
    picture->setPixmap(
        Images::templatePixmap(QStringLiteral("projector"), QSize(64, 64), tint, devicePixelRatioF()));
    picture->setAlignment(Qt::AlignCenter);
    layout->addWidget(picture);

    m_name = new QLabel(name, this);
    QFont bold = m_name->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    m_name->setFont(bold);
    m_name->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_name);

    m_version = new QLabel(tr("Version %1").arg(bundle.versionWithBuild()), this);
    m_version->setAlignment(Qt::AlignCenter);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_version);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(tr("OK"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    layout->addSpacing(12);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void AboutPanel::present()
{
    show();
    raise();
    activateWindow();
}

QString AboutPanel::nameText() const
{
    return m_name->text();
}

QString AboutPanel::versionText() const
{
    return m_version->text();
}
