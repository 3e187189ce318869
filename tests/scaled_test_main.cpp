#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Both before the QApplication exists: the scale is read once, at start.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
