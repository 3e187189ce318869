// layout-points: where the checks click, from the panel's own layout. One line a control: its
// name and its centre in device-independent pixels ("Command1 306 152"); a scroll bar's arrows
// too ("HScroll1.left 64 36", "HScroll1.right 248 36").
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
}
