#pragma once

#include "Pikora/UI/AlertPresenter.h"
#include "Pikora/UI/NotificationViewController.h"
#include "Pikora/UI/PopoverUserInterface.h"
#include "Pikora/UI/VerticallyAlignedLabel.h"
#include "Support/UserDefaults.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

// Answers modal alerts with a preset button index and records what was asked.
class FakeAlertPresenter : public AlertPresenter
{
public:
    struct Call
    {
        QString messageText;
        QString informativeText;
        QStringList buttons;
    };

    int runModal(const QString& messageText, const QString& informativeText,
                 const QStringList& buttons) override
    {
        calls.push_back({messageText, informativeText, buttons});
        return answer;
    }

    int answer = 0;
    std::vector<Call> calls;
};

// Runs queued and deferred-delete events until nothing is left to do right now.
inline void drainEvents()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// A PopoverUserInterface with the status item as a window, preferences in a temporary file
// and alerts answered by a fake.
class PopoverTest : public ::testing::Test
{
protected:
    explicit PopoverTest(double timeScale = 1.0) : m_timeScale(timeScale) {}

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        defaults = std::make_unique<UserDefaults>(m_dir.filePath(QStringLiteral("defaults.ini")));
        auto fake = std::make_unique<FakeAlertPresenter>();
        alerts = fake.get();
        PopoverUserInterface::Options options;
        options.defaults = defaults.get();
        options.alerts = std::move(fake);
        options.statusItem = StatusItem::Presentation::Window;
        options.timeScale = m_timeScale;
        ui = std::make_unique<PopoverUserInterface>(std::move(options));
    }

    void TearDown() override
    {
        ui.reset();
        drainEvents();
        defaults.reset();
    }

    // The text the notification view shows right now.
    QString shownMessage() const
    {
        auto* label = ui->notificationViewController()->messageLabel();
        return label ? label->text() : QString();
    }

    bool showsNotification() const
    {
        return ui->isPopoverShown() && ui->popoverContent() == ui->notificationViewController();
    }

    std::unique_ptr<UserDefaults> defaults;
    FakeAlertPresenter* alerts = nullptr;
    std::unique_ptr<PopoverUserInterface> ui;

private:
    double m_timeScale;
    QTemporaryDir m_dir;
};
