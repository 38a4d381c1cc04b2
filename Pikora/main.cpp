#include "Support/Logging.h"

#include <QApplication>

int main(int argc, char** argv)
{
    Logging::install();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pikora"));
    QApplication::setQuitOnLastWindowClosed(false);
    return app.exec();
}
