// What a window manager learns from the real window: the title bar's buttons, a size that
// stays, and the menu entry's icon, built into the program, so that it shows before the
// package is installed.
#include "layout_expectations.h"
#include "pty.h"
#include "real_program.h"

#include <QImage>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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

    // Mean difference of a colour channel between two images of one size, premultiplied:
    // alpha is premultiplied on one side of a rendering and not on the other.
    double Difference(const QImage& a, const QImage& b)
    {
        const QImage p = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage q = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        double sum = 0;
        for (int y = 0; y < p.height(); ++y)
            for (int x = 0; x < p.width(); ++x) {
                const QRgb u = p.pixel(x, y);
                const QRgb v = q.pixel(x, y);
                sum += std::abs(qAlpha(u) - qAlpha(v)) + std::abs(qRed(u) - qRed(v))
                    + std::abs(qGreen(u) - qGreen(v)) + std::abs(qBlue(u) - qBlue(v));
            }
        return sum / (4.0 * p.width() * p.height());
    }

    TEST_F(RealProgram, WindowManagerShowsOnlyACloseButtonAFixedSizeAndTheEntrysIcon)
    {
        Pty pty;
        Panel panel(*s_display, pty.path());
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();

        // The title bar as drawn from the Motif hints: flags, functions, decorations.
        enum : uint { AllFunctions = 1, MinimiseFunction = 8, MaximiseFunction = 16, Close = 32 };
        enum : uint { Title = 8, WindowMenu = 16, MinimiseButton = 32, MaximiseButton = 64 };
        uint motif[3] = {};
        const QStringList values = Output(
            QStringLiteral("xprop"), { "-notype", "-id", windows[0], "_MOTIF_WM_HINTS", "32c" })
                                       .section(QLatin1Char('='), 1)
                                       .split(QLatin1Char(','));
        for (int i = 0; i < 3 && i < values.size(); ++i)
            motif[i] = values[i].trimmed().toUInt(nullptr, 0);
        EXPECT_EQ(motif[0] & 3, 3u) << "functions and decorations both given";
        EXPECT_EQ(motif[1] & (AllFunctions | MinimiseFunction | MaximiseFunction | Close), Close);
        EXPECT_EQ(
            motif[2] & (Title | WindowMenu | MinimiseButton | MaximiseButton), Title | WindowMenu);
        const QString size
            = QStringLiteral("%1 by %2").arg(test::kClientWidth).arg(test::kClientHeight);
        const QString hints
            = Output(QStringLiteral("xprop"), { "-id", windows[0], "WM_NORMAL_HINTS" });
        for (const char* bound : { "minimum", "maximum" })
            EXPECT_TRUE(hints.contains(QStringLiteral("specified %1 size: %2").arg(bound, size)))
                << hints.toStdString();

        // No image plugin is needed: the program carries PNGs drawn from the entry's SVG. At
        // each size a desktop draws, the window manager picks the smallest icon that is large
        // enough and scales it down; there must be one, and it must be the entry's picture.
        const std::vector<QImage> icons = WindowIcons(windows[0]);
        ASSERT_FALSE(icons.empty()) << "the window offers no icon";
        for (int size : { 16, 22, 24, 32, 48, 64, 96, 128, 256 }) {
            SCOPED_TRACE(size);
            const QImage* offered = nullptr;
            for (const QImage& icon : icons)
                if (icon.width() == icon.height() && icon.width() >= size
                    && (!offered || icon.width() < offered->width()))
                    offered = &icon;
            ASSERT_NE(offered, nullptr) << "only an icon blown up";
            const QImage shown
                = offered->scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const QImage entry = EntryIcon(size);
            ASSERT_EQ(entry.size(), shown.size()) << "the test cannot draw " SERVO_ICON;
            // Scaled down one step, 24 to 22 px, differs by 7; the entry's picture mirrored, by 12.
            EXPECT_LE(Difference(shown, entry), 10.0) << "not the menu entry's icon";
        }
    }

} // namespace
} // namespace servo
