#include "Pikora/UI/Images.h"
#include "Pikora/UI/ObjectAssociation.h"
#include "Pikora/UI/PopoverStyle.h"
#include "Pikora/UI/PopoverWindow.h"
#include "Pikora/UI/VerticallyAlignedLabel.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// Rows of `image` that hold any pixel differing from `background`.
std::pair<int, int> inkRows(const QImage& image, QColor background)
{
    int first = -1, last = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) != background) {
                if (first < 0)
                    first = y;
                last = y;
                break;
            }
        }
    }
    return {first, last};
}

TEST(VerticallyAlignedLabel, CentresShortTextAndTopAlignsTextThatDoesNotFit)
{
    const QRect bounds(10, 20, 200, 100);
    EXPECT_EQ(VerticallyAlignedLabel::titleRect(bounds, 20), QRect(10, 60, 200, 20));
    EXPECT_EQ(VerticallyAlignedLabel::titleRect(bounds, 100), bounds);
    EXPECT_EQ(VerticallyAlignedLabel::titleRect(bounds, 300), bounds);

    // Measured, not the font's line height: two lines are centred as one block.
    VerticallyAlignedLabel label;
    label.resize(120, 200);
    label.setText(QStringLiteral("one line"));
    const QRect one = label.titleRectForBounds(label.rect());
    label.setText(QStringLiteral("a message long enough to need several lines here"));
    const QRect several = label.titleRectForBounds(label.rect());
    EXPECT_GT(several.height(), one.height());
    EXPECT_NEAR(one.center().y(), label.rect().center().y(), 1);
    EXPECT_NEAR(several.center().y(), label.rect().center().y(), 1);
}

TEST(VerticallyAlignedLabel, DrawsItsTextInTheMiddleOrFromTheTop)
{
    VerticallyAlignedLabel label;
    label.setStyleSheet(QStringLiteral("background: white; color: black;"));
    label.setAutoFillBackground(true);
    label.resize(160, 120);
    label.setText(QStringLiteral("Pikora"));
    QImage image = label.grab().toImage();
    auto [top, bottom] = inkRows(image, Qt::white);
    ASSERT_GE(top, 0) << "nothing drawn";
    EXPECT_NEAR((top + bottom) / 2.0, image.height() / 2.0, 6);

    label.setText(QString(40, QLatin1Char('W')).replace(QLatin1Char('W'), QStringLiteral("word ")));
    label.resize(160, 30);
    image = label.grab().toImage();
    std::tie(top, bottom) = inkRows(image, Qt::white);
    ASSERT_GE(top, 0);
    EXPECT_LT(top, 8) << "text taller than the label must start at the top";
}

TEST(Images, TemplateKeepsTheShapeAndTakesTheTint)
{
    const QImage image =
        Images::templatePixmap(QStringLiteral("projector"), QSize(24, 24), QColor(255, 0, 0)).toImage();
    ASSERT_EQ(image.size(), QSize(24, 24));
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() == 255) {
                ++opaque;
                EXPECT_EQ(c.rgb() & 0xffffff, 0xff0000u) << x << "," << y;
            }
        }
    }
    EXPECT_GT(opaque, 100);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "the background must stay transparent";

    // At twice the pixel density the icon is drawn with twice the pixels, not scaled up.
    const QPixmap sharp = Images::templatePixmap(QStringLiteral("projector"), QSize(16, 16), Qt::white, 2.0);
    EXPECT_EQ(sharp.size(), QSize(32, 32));
    EXPECT_EQ(sharp.deviceIndependentSize(), QSizeF(16, 16));
}

TEST(Images, NamedImagesResolveAndUnknownNamesGiveNothing)
{
    EXPECT_FALSE(Images::named(QStringLiteral("ClickMirror")).isNull());
    EXPECT_FALSE(Images::named(QStringLiteral("projector")).isNull());
    EXPECT_TRUE(Images::named(QString()).isNull());
    EXPECT_TRUE(Images::named(QStringLiteral("NoSuchImage")).isNull());
}

class Payload : public QObject
{
    Q_OBJECT
};

TEST(ObjectAssociation, SlotsAreSeparateOwnedAndClearable)
{
    QObject host;
    ObjectAssociation<Payload> a;
    ObjectAssociation<Payload> b;
    EXPECT_EQ(a.get(&host), nullptr);

    auto* first = new Payload;
    a.set(&host, first);
    EXPECT_EQ(a.get(&host), first);
    EXPECT_EQ(b.get(&host), nullptr) << "two associations share a slot";
    EXPECT_EQ(first->parent(), &host);

    QPointer<Payload> released = first;
    auto* second = new Payload;
    a.set(&host, second);
    EXPECT_EQ(a.get(&host), second);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(released.isNull()) << "the replaced object was not released";

    a.set(&host, nullptr);
    EXPECT_EQ(a.get(&host), nullptr);
}

TEST(PopoverWindow, FlipsAboveAnItemAtTheBottomOfTheScreenAndFollowsItsContentSize)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    auto* content = new QLabel(QStringLiteral("content"));
    content->setFixedSize(200, 80);
    PopoverWindow window(content);

    const QRect bottomItem(screen.center().x(), screen.bottom() - 24, 30, 24);
    window.anchorTo(bottomItem);
    EXPECT_EQ(window.arrowEdge(), PopoverWindow::ArrowEdge::Bottom);
    EXPECT_LT(window.geometry().bottom(), bottomItem.top());
    EXPECT_EQ(window.size(), QSize(200, 80 + PopoverWindow::ArrowHeight));

    window.anchorTo(QRect(screen.center().x(), screen.top(), 30, 24));
    EXPECT_EQ(window.arrowEdge(), PopoverWindow::ArrowEdge::Top);
    window.show();

    int changes = 0;
    QObject::connect(&window, &PopoverWindow::frameSizeChanged, [&] { ++changes; });
    content->setFixedSize(260, 120);
    QCoreApplication::processEvents(); // the layout request resizes the window
    EXPECT_EQ(window.size(), QSize(260, 120 + PopoverWindow::ArrowHeight));
    EXPECT_GE(changes, 1);

    QWidget* taken = window.takeContent();
    EXPECT_EQ(taken, content);
    EXPECT_EQ(taken->parentWidget(), nullptr);
    delete taken;
}

TEST(PopoverWindow, PaintsTheWholeShapeInThePopoverColour)
{
    auto* content = new QWidget;
    content->setFixedSize(120, 60);
    PopoverWindow window(content);
    window.anchorTo(QRect(300, 0, 20, 20));
    const QImage image = window.grab().toImage();
    const QColor expected = PopoverStyle::backgroundColor();
    EXPECT_EQ(expected, QColor(66, 66, 66));
    const QPoint middle(image.width() / 2, image.height() / 2);
    EXPECT_EQ(image.pixelColor(middle).rgb(), expected.rgb());
    // The arrow is painted too, and the rounded corners are left out.
    EXPECT_EQ(image.pixelColor(window.arrowX(), PopoverWindow::ArrowHeight - 2).rgb(), expected.rgb());
    EXPECT_LT(image.pixelColor(0, PopoverWindow::ArrowHeight).alpha(), 255);
}

} // namespace

#include "WidgetsTest.moc"
