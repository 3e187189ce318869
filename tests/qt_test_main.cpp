#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Before the QApplication exists: test discovery runs this binary at build time.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
