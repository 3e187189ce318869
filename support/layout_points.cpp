// layout-points: where the checks click, from the panel's own layout. One line a control: its
// name and its centre in device-independent pixels ("Command1 306 152"); a scroll bar's arrows
// too ("HScroll1.left 64 36", "HScroll1.right 248 36"). Then the window's client size
// ("client 338 177") and its title ("title Varnel Pulse Control").
#include "layout.h"

#include <cstdio>

int main()
{
    const auto print = [](std::string_view name, const char* part, int x, int y) {
        std::printf("%.*s%s %d %d\n", int(name.size()), name.data(), part, x, y);
    };
    for (const servo::Placement& p : servo::kLayout) {
        const QRect r = servo::PixelRect(p);
        print(p.name, "", r.center().x(), r.center().y());
        if (p.name.starts_with("HScroll")) {
            // Each arrow is a square at one end, as tall as the bar.
            const int half = r.height() / 2;
            print(p.name, ".left", r.x() + half, r.center().y());
            print(p.name, ".right", r.x() + r.width() - half, r.center().y());
        }
    }
    print("client", "", servo::TwipsToPixels(servo::kClientWidthTwips),
        servo::TwipsToPixels(servo::kClientHeightTwips));
    std::printf("title %s\n", servo::kWindowTitle);
}
