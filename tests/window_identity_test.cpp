// What a task bar learns from the real window: the menu entry's icon, built into the
// program, so that it shows before the package is installed.
#include "pty.h"
#include "real_program.h"

#include <QImage>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <vector>

namespace servo {
namespace {

    using test::Output;
    using test::Panel;
    using test::Pty;

    using RealProgram = test::RealProgramTest;

    // The icons a window offers its window manager in _NET_WM_ICON: width, height, then
    // the ARGB pixels row by row, for each size (all of them: xprop shows only the first
    // 500 kB of a property unless told otherwise).
    std::vector<QImage> WindowIcons(const QString& window)
    {
        const QString text = Output(QStringLiteral("xprop"),
            { "-len", "16777216", "-id", window, "-notype", "32c", "_NET_WM_ICON" });
        std::vector<quint32> values;
        for (const QString& value : text.section(QLatin1Char('='), 1).split(QLatin1Char(',')))
            values.push_back(value.trimmed().toUInt());
        std::vector<QImage> icons;
        for (size_t at = 0; at + 2 < values.size();) {
            const int width = static_cast<int>(values[at++]);
            const int height = static_cast<int>(values[at++]);
            if (width <= 0 || height <= 0 || at + size_t(width) * size_t(height) > values.size())
                break;
            QImage icon(width, height, QImage::Format_ARGB32);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    icon.setPixel(x, y, values[at++]);
            icons.push_back(icon);
        }
        return icons;
    }

    // The menu entry's icon at one size as the desktop draws it for its menus: with librsvg.
    QImage EntryIcon(int size)
    {
        QProcess rsvg;
        rsvg.start(QStringLiteral(SERVO_RSVG_CONVERT),
            { "-w", QString::number(size), "-h", QString::number(size),
                QStringLiteral(SERVO_ICON) });
        if (!rsvg.waitForFinished(10000))
            rsvg.kill();
        return QImage::fromData(rsvg.readAllStandardOutput())
            .convertToFormat(QImage::Format_ARGB32);
    }

    // Largest difference of one colour channel between two images of one size.
    int Difference(const QImage& a, const QImage& b)
    {
        int worst = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x) {
                const QRgb p = a.pixel(x, y);
                const QRgb q = b.pixel(x, y);
                worst = std::max(
                    { worst, std::abs(qAlpha(p) - qAlpha(q)), std::abs(qRed(p) - qRed(q)),
                        std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q)) });
            }
        return worst;
    }

    TEST_F(RealProgram, WindowCarriesTheMenuEntrysIcon)
    {
        Pty pty;
        Panel panel(*s_display, pty.path());
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        const std::vector<QImage> icons = WindowIcons(windows[0]);
        ASSERT_FALSE(icons.empty()) << "the window offers no icon";
        // No image plugin is needed: the program carries PNGs drawn from the entry's SVG, one
        // for each size a task bar or a switcher asks for, so none is scaled from another.
        std::set<int> sizes;
        for (const QImage& icon : icons)
            sizes.insert(icon.width());
        EXPECT_EQ(sizes, (std::set<int> { 16, 24, 32, 48, 64, 128, 256 }));
        for (const QImage& icon : icons) {
            ASSERT_EQ(icon.width(), icon.height()) << "a " << icon.width() << " px wide icon";
            const QImage expected = EntryIcon(icon.width());
            ASSERT_EQ(expected.size(), icon.size()) << "the test cannot draw " SERVO_ICON;
            // Alpha is premultiplied on one side of the rendering and not on the other.
            EXPECT_LE(Difference(icon, expected), 2)
                << "the " << icon.width() << " px icon is not the menu entry's";
        }
    }

} // namespace
} // namespace servo
