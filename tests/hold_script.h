#pragma once

// A hold of a slider's thumb that the hand cannot finish, played the same way on the window in
// the test's own process and on the real program. The hold ends as a release would: the
// dragged value goes out once, at once; the release that comes late, over the window given
// back, and a crossing of the pointer send nothing more; and the slider takes keys again.

#include "hex.h"
#include "servo_frame.h"

#include <QPoint>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace servo::test {

// A hand on the window and the line behind it. Points are in the window.
class HoldHand {
public:
    virtual ~HoldHand() = default;
    virtual void press(QPoint at) = 0;
    virtual void drag(QPoint to) = 0; // the button held
    virtual void release(QPoint at) = 0;
    virtual void hover(QPoint at) = 0; // no button down
    virtual void stepRight() = 0; // the Right key on the held slider
    virtual std::string line() = 0; // what arrived until the line fell quiet
};

// Holds the thumb at `thumb` of the slider whose frames carry `code`, drags it 40 px right,
// ends the hold with `end` and gives the window back with `restore`. Returns the value sent.
inline int PlayUnfinishedHold(HoldHand& hand, QPoint thumb, char code,
    const std::function<void()>& end, const std::function<void()>& restore)
{
    hand.press(thumb);
    for (int dx = 5; dx <= 40; dx += 5)
        hand.drag(thumb + QPoint(dx, 0));
    EXPECT_EQ(Hex(hand.line()), "") << "sent before the hold ended";

    end();
    const std::string sent = hand.line();
    const bool one = sent.size() == 4 && sent.substr(0, 2) == std::string { '\x02', code };
    EXPECT_TRUE(one) << "not sent once as the hold ended: " << Hex(sent);
    const int held = one ? std::stoi(sent.substr(2), nullptr, 16) : 0;
    EXPECT_GT(held, 50) << Hex(sent);

    restore();
    hand.drag(thumb + QPoint(80, 0));
    hand.release(thumb + QPoint(80, 0));
    for (QPoint at : { QPoint(-10, -10), thumb, thumb + QPoint(20, 0) })
        hand.hover(at);
    EXPECT_EQ(Hex(hand.line()), "") << "sent again after the hold ended";

    hand.stepRight();
    EXPECT_EQ(Hex(hand.line()), Hex(FormatServoFrame(code, int16_t(held + 1))));
    return held;
}

} // namespace servo::test
