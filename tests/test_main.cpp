// Shared GoogleTest entry point: a QApplication (offscreen unless the test sets a platform)
// runs for the whole test binary so main-queue work and widgets behave as in the product.
#include "Support/Logging.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Logging::install();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
