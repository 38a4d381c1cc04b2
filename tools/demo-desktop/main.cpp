// A full-screen, desktop-like scene for the demo's virtual display: a wallpaper, a few
// application windows with text, a clock and elements that move, so the capture path sees
// realistic content that changes every frame in some places and stays still in others.
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <cmath>

class DesktopScene : public QWidget
{
public:
    DesktopScene()
    {
        setWindowFlag(Qt::FramelessWindowHint);
        setAttribute(Qt::WA_OpaquePaintEvent);
        m_clock.start();
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
        timer->start(33);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double t = m_clock.elapsed() / 1000.0;
        const QRectF r = rect();

        QLinearGradient wallpaper(r.topLeft(), r.bottomRight());
        wallpaper.setColorAt(0, QColor(28, 58, 94));
        wallpaper.setColorAt(1, QColor(88, 42, 96));
        p.fillRect(r, wallpaper);

        // Menu bar with a clock.
        const double bar = r.height() * 0.025;
        p.fillRect(QRectF(0, 0, r.width(), bar), QColor(240, 240, 240, 230));
        QFont font = p.font();
        font.setPixelSize(int(bar * 0.6));
        p.setFont(font);
        p.setPen(Qt::black);
        p.drawText(QRectF(bar, 0, r.width() / 3, bar), Qt::AlignVCenter, QStringLiteral("Files  Edit  View  Window  Help"));
        p.drawText(QRectF(0, 0, r.width() - bar, bar), Qt::AlignVCenter | Qt::AlignRight,
                   QDateTime::currentDateTime().toString(QStringLiteral("ddd d MMM  hh:mm:ss")));

        drawWindow(p, QRectF(r.width() * 0.05, r.height() * 0.08, r.width() * 0.5, r.height() * 0.55),
                   QStringLiteral("Quarterly report.txt"), t, false);
        drawWindow(p, QRectF(r.width() * 0.45, r.height() * 0.35, r.width() * 0.48, r.height() * 0.5),
                   QStringLiteral("Presentation"), t, true);

        // A bouncing element standing in for a moving pointer or animation.
        const double x = (0.5 + 0.45 * std::sin(t * 0.9)) * r.width();
        const double y = (0.5 + 0.4 * std::sin(t * 1.3)) * r.height();
        p.setBrush(QColor(255, 196, 0));
        p.setPen(QPen(Qt::black, 3));
        p.drawEllipse(QPointF(x, y), r.height() * 0.03, r.height() * 0.03);
    }

private:
    void drawWindow(QPainter& p, const QRectF& w, const QString& title, double t, bool chart)
    {
        const double titleBar = w.height() * 0.07;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 60));
        p.drawRoundedRect(w.translated(8, 10), 10, 10);
        p.setBrush(Qt::white);
        p.drawRoundedRect(w, 10, 10);
        p.setBrush(QColor(225, 225, 230));
        p.drawRoundedRect(QRectF(w.topLeft(), QSizeF(w.width(), titleBar)), 10, 10);
        const QColor lights[] = {QColor(255, 95, 86), QColor(255, 189, 46), QColor(39, 201, 63)};
        for (int i = 0; i < 3; ++i) {
            p.setBrush(lights[i]);
            p.drawEllipse(QPointF(w.left() + titleBar * (0.6 + i * 0.7), w.top() + titleBar / 2), titleBar * 0.22,
                          titleBar * 0.22);
        }
        QFont font = p.font();
        font.setPixelSize(int(titleBar * 0.5));
        p.setFont(font);
        p.setPen(QColor(60, 60, 60));
        p.drawText(QRectF(w.left(), w.top(), w.width(), titleBar), Qt::AlignCenter, title);

        const QRectF body = w.adjusted(titleBar * 0.5, titleBar * 1.4, -titleBar * 0.5, -titleBar * 0.5);
        if (!chart) {
            font.setPixelSize(int(titleBar * 0.42));
            p.setFont(font);
            p.setPen(QColor(30, 30, 30));
            const double line = titleBar * 0.62;
            const int lines = int(body.height() / line);
            const int scroll = int(t * 2);
            for (int i = 0; i < lines; ++i) {
                const int n = i + scroll;
                p.drawText(QPointF(body.left(), body.top() + (i + 1) * line),
                           QStringLiteral("%1. Revenue in region %2 grew by %3.%4 percent against the plan.")
                               .arg(n + 1)
                               .arg(QChar('A' + n % 26))
                               .arg((n * 7) % 23)
                               .arg((n * 3) % 10));
            }
        } else {
            const int bars = 12;
            const double bw = body.width() / (bars * 1.5);
            for (int i = 0; i < bars; ++i) {
                const double h = body.height() * (0.3 + 0.6 * (0.5 + 0.5 * std::sin(t * 1.7 + i * 0.6)));
                p.setBrush(QColor::fromHsv((i * 30) % 360, 160, 220));
                p.drawRect(QRectF(body.left() + i * bw * 1.5, body.bottom() - h, bw, h));
            }
        }
    }

    QElapsedTimer m_clock;
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    DesktopScene scene;
    scene.setGeometry(QGuiApplication::primaryScreen()->geometry());
    scene.show();
    return app.exec();
}
