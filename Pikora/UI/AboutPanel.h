#pragma once

#include <QDialog>

class QLabel;

// The standard About panel: the application's picture, name, and version with build number.
// One panel is kept and brought to the front each time it is asked for.
class AboutPanel : public QDialog
{
    Q_OBJECT
public:
    explicit AboutPanel(QWidget* parent = nullptr);

    // Shows the panel in front of other windows.
    void present();

    QString nameText() const;
    QString versionText() const;

private:
    QLabel* m_name = nullptr;
    QLabel* m_version = nullptr;
};
