// The window under a careless or hostile hand: wheel and touchpad, keys and the wheel in the
// middle of a drag, middle and right clicks, menus; then what the operator reads: readouts,
// lit labels and the focus cue on other palettes, and what a screen reader learns of a test.
#include "contrast.h"
#include "controls.h"
#include "form1.h"
#include "layout_expectations.h"
#include "pty.h"
#include "scroll_bar_part.h"
#include "servo_frame.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace servo;

using namespace std::chrono_literals;
using test::Contrast;
using test::Control;
using test::Hex;
using test::Move;
using test::Pty;
using test::Readout;
using test::ScrollBarPart;
using test::Slider;
using test::TestButton;

constexpr int kChannel = 1; // the gestures work on CH2, which starts at 50

void Wheel(QWidget* widget, QPoint angle, QPoint pixel = {},
    Qt::ScrollPhase phase = Qt::NoScrollPhase, Qt::MouseButtons buttons = Qt::NoButton)
{
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent event(
        at, widget->mapToGlobal(at), pixel, angle, buttons, Qt::NoModifier, phase, false);
    QApplication::sendEvent(widget, &event);
}

// A touchpad swipe: small pixel deltas, each with the angle Qt derives from it.
void Swipe(QWidget* widget, QPoint direction)
{
    Wheel(widget, {}, {}, Qt::ScrollBegin);
    for (int i = 0; i < 5; ++i)
        Wheel(widget, direction * 24, direction * 12, Qt::ScrollUpdate);
    Wheel(widget, {}, {}, Qt::ScrollEnd);
}

QPoint Thumb(QScrollBar* bar)
{
    return ScrollBarPart(bar, QStyle::SC_ScrollBarSlider).center();
}
QPoint RightTrack(QScrollBar* bar)
{
    // Far from the thumb, near the right arrow: where a jump would hurt most.
    const QRect page = ScrollBarPart(bar, QStyle::SC_ScrollBarAddPage);
    return QPoint(page.right() - 4, page.center().y());
}
QPoint LeftTrack(QScrollBar* bar)
{
    return ScrollBarPart(bar, QStyle::SC_ScrollBarSubPage).center();
}

// Answers whatever menu pops up by choosing its "Right edge", as a slip of the hand would, so
// that a menu shows on the line instead of blocking the test.
class MenuWatch {
public:
    MenuWatch()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return;
            ++menus;
            for (QAction* action : menu->actions())
                if (action->text().contains(QLatin1String("Right edge")))
                    menu->setActiveAction(action);
            QTest::keyClick(menu, Qt::Key_Return);
        });
        m_timer.start();
    }
    int menus = 0;

private:
    QTimer m_timer;
};

// A style that jumps the thumb to a click in the track, as some desktops are set to.
class JumpingStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
        QStyleHintReturn* returned) const override
    {
        if (hint == SH_ScrollBar_LeftClickAbsolutePosition
            || hint == SH_ScrollBar_MiddleClickAbsolutePosition)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

using Act = std::function<void(QScrollBar*)>;

struct Gesture {
    const char* name;
    Act act;
    std::vector<int> values; // committed on the line, in order
    bool likePlainScrollBar = false; // a plain QScrollBar moves the same way
};

void PrintTo(const Gesture& g, std::ostream* os)
{
    *os << g.name;
}

Act Turned(QPoint angle)
{
    return [angle](QScrollBar* b) { Wheel(b, angle); };
}
Act Swiped(QPoint direction)
{
    return [direction](QScrollBar* b) { Swipe(b, direction); };
}
Act Keyed(Qt::Key key)
{
    return [key](QScrollBar* b) { QTest::keyClick(b, key); };
}

const Gesture kGestures[] = {
    { "wheel_up", Turned({ 0, 120 }), { 49 }, true },
    { "wheel_down", Turned({ 0, -120 }), { 51 }, true },
    { "wheel_left", Turned({ 120, 0 }), { 49 }, true },
    { "wheel_right", Turned({ -120, 0 }), { 51 }, true },
    { "touchpad_down", Swiped({ 0, -1 }), { 51, 52, 53 }, true },
    { "touchpad_up", Swiped({ 0, 1 }), { 49, 48, 47 }, true },
    { "touchpad_right", Swiped({ -1, 0 }), { 51, 52, 53 }, true },
    { "touchpad_left", Swiped({ 1, 0 }), { 49, 48, 47 }, true },
    // The way the thumb moves; a plain QScrollBar's inverted controls run them backwards.
    { "key_right", Keyed(Qt::Key_Right), { 51 } },
    { "key_left", Keyed(Qt::Key_Left), { 49 } },
    { "key_down", Keyed(Qt::Key_Down), { 51 }, true },
    { "key_page_down", Keyed(Qt::Key_PageDown), { 51 }, true },
    { "key_up", Keyed(Qt::Key_Up), { 49 }, true },
    { "key_page_up", Keyed(Qt::Key_PageUp), { 49 }, true },
    { "key_end", Keyed(Qt::Key_End), { 255 }, true },
    { "key_home", Keyed(Qt::Key_Home), { 1 }, true },
    { "shift_click_in_track",
        [](QScrollBar* b) {
            QTest::mouseClick(b, Qt::LeftButton, Qt::ShiftModifier, RightTrack(b));
        },
        { 51 } },
    { "click_in_track_on_a_jumping_style",
        [](QScrollBar* b) {
            JumpingStyle jumping;
            b->setStyle(&jumping);
            QTest::mouseClick(b, Qt::LeftButton, {}, RightTrack(b));
            QTest::mouseClick(b, Qt::MiddleButton, {}, LeftTrack(b));
            b->setStyle(nullptr);
        },
        { 51, 50 } },
    { "right_click",
        [](QScrollBar* b) {
            MenuWatch watch;
            // Through the window, where the platform's right click becomes a menu request.
            QTest::mouseClick(
                b->window()->windowHandle(), Qt::RightButton, {}, b->mapTo(b->window(), Thumb(b)));
            QTest::qWait(100);
            EXPECT_EQ(watch.menus, 0);
        },
        {} },
    { "menu_key",
        [](QScrollBar* b) {
            MenuWatch watch;
            b->setFocus();
            QContextMenuEvent menu(QContextMenuEvent::Keyboard, Thumb(b), b->mapToGlobal(Thumb(b)));
            QApplication::sendEvent(b, &menu);
            QTest::qWait(100);
            EXPECT_EQ(watch.menus, 0);
        },
        {} },
};

class OperatorHand : public testing::Test {
protected:
    void startShown(bool active = true)
    {
        ASSERT_TRUE(form.start());
        form.show();
        ASSERT_TRUE(
            active ? QTest::qWaitForWindowActive(&form) : QTest::qWaitForWindowExposed(&form));
        ASSERT_EQ(pty.read(16).size(), 16u) << "the four start-up frames";
    }

    Pty pty;
    Form1 form { pty.path() };
};

class Gestures : public OperatorHand, public testing::WithParamInterface<Gesture> { };

TEST_P(Gestures, SendWhatTheHandMeant)
{
    ASSERT_NO_FATAL_FAILURE(startShown());
    const Gesture& gesture = GetParam();
    QScrollBar* bar = Slider(form, kChannel);
    gesture.act(bar);

    std::string expected;
    for (int value : gesture.values)
        expected += FormatServoFrame(ChannelCode(kChannel), static_cast<int16_t>(value));
    EXPECT_EQ(Hex(pty.readAll(150ms)), Hex(expected));
    EXPECT_EQ(bar->value(), gesture.values.empty() ? 50 : gesture.values.back());
    EXPECT_EQ(Readout(form, kChannel)->text().toStdString(), FormatHex(int16_t(bar->value())));

    if (gesture.likePlainScrollBar) {
        QScrollBar plain(Qt::Horizontal);
        plain.setRange(1, 255);
        plain.setValue(50);
        plain.setPageStep(1);
        plain.resize(bar->size());
        gesture.act(&plain);
        EXPECT_EQ(plain.value(), bar->value()) << "a plain scroll bar goes the other way";
    }
}

INSTANTIATE_TEST_SUITE_P(OnASlider, Gestures, testing::ValuesIn(kGestures),
    [](const auto& info) { return std::string(info.param.name); });

// What "min" shows once the operator has typed a number and moved on: the number from its
// sign, whole. Bounds above 50 drag every slider up with them, a frame a channel.
struct MinEntry {
    const char* typed;
    std::vector<int> bounds; // each moves all four sliders
};

TEST_F(OperatorHand, MinShowsItsNumberWholeFromTheSignAfterTab)
{
    ASSERT_NO_FATAL_FAILURE(startShown());
    const MinEntry entries[] = {
        { "-1000", {} }, { "-32768", {} }, { "12345", { 123, 255 } },
        { "1", {} }, // a lower bound leaves the sliders where they are
    };
    auto* entry = Control<QLineEdit>(form, QStringLiteral("Text1"));
    for (const MinEntry& row : entries) {
        SCOPED_TRACE(row.typed);
        entry->setFocus();
        QTest::keyClick(entry, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(entry, row.typed);
        QTest::keyClick(entry, Qt::Key_Tab);
        ASSERT_FALSE(entry->hasFocus());
        EXPECT_EQ(entry->text(), QLatin1String(row.typed));
        EXPECT_EQ(entry->cursorPosition(), 0);
        test::ExpectReadoutWhole(entry);

        std::string expected;
        for (int bound : row.bounds)
            for (int channel = 0; channel < kChannelCount; ++channel)
                expected += FormatServoFrame(ChannelCode(channel), static_cast<int16_t>(bound));
        EXPECT_EQ(Hex(pty.readAll(150ms)), Hex(expected));
    }
    // Set by the program while the box is not being edited.
    form.setLowerBoundText("-32768");
    EXPECT_EQ(entry->cursorPosition(), 0);
    test::ExpectReadoutWhole(entry);
    form.setLowerBoundText("1");
}

QPalette DarkPalette()
{
    QPalette dark;
    const QColor grey(0x35, 0x35, 0x35);
    for (auto role : { QPalette::Window, QPalette::Button, QPalette::AlternateBase })
        dark.setColor(role, grey);
    for (auto role : { QPalette::WindowText, QPalette::ButtonText, QPalette::Text })
        dark.setColor(role, Qt::white);
    dark.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
    dark.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    dark.setColor(QPalette::HighlightedText, Qt::black);
    dark.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
    dark.setColor(QPalette::Midlight, QColor(0x45, 0x45, 0x45));
    dark.setColor(QPalette::Mid, QColor(0x25, 0x25, 0x25));
    dark.setColor(QPalette::Dark, QColor(0x1a, 0x1a, 0x1a));
    dark.setColor(QPalette::Shadow, Qt::black);
    return dark;
}

// A dark desktop palette, in place before the window is made, as at a real start.
class DarkDesktop {
public:
    DarkDesktop()
        : m_original(QApplication::palette())
    {
        QApplication::setPalette(DarkPalette());
    }
    ~DarkDesktop() { QApplication::setPalette(m_original); }

private:
    QPalette m_original;
};

std::string Name(const QColor& colour)
{
    return colour.name().toStdString();
}

// A label as painted: its background (the bottom-right corner, clear of the text) and the
// pixel that stands out most from it, its text.
std::pair<QColor, QColor> TextOnBackground(QWidget* label)
{
    const QImage image = label->grab().toImage();
    const QColor background = image.pixelColor(image.width() - 1, image.height() - 1);
    QColor text = background;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (Contrast(image.pixelColor(x, y), background) > Contrast(text, background))
                text = image.pixelColor(x, y);
    return { text, background };
}

class DarkOperatorHand : private DarkDesktop, public OperatorHand { };

TEST_F(DarkOperatorHand, LitLabelIsBlackOnYellowAndGoesBackToTheThemeAfter)
{
    ASSERT_NO_FATAL_FAILURE(startShown());
    auto* label = Control<QLabel>(form, QStringLiteral("Label3"));
    auto* test = Control<QPushButton>(form, QStringLiteral("Command4"));
    EXPECT_EQ(Name(label->palette().color(QPalette::WindowText)), "#ffffff")
        << "the dark palette is not in";

    test->click();
    const QColor text = label->palette().color(QPalette::WindowText);
    const QColor background = label->palette().color(QPalette::Window);
    EXPECT_EQ(Name(background), "#ffff00");
    EXPECT_EQ(Name(text), "#000000");
    EXPECT_GE(Contrast(text, background), 4.5);
    const auto [ink, paper] = TextOnBackground(label);
    EXPECT_EQ(Name(paper), "#ffff00");
    EXPECT_GE(Contrast(ink, paper), 4.5) << "text painted " << Name(ink);

    test->click();
    EXPECT_EQ(Name(label->palette().color(QPalette::WindowText)), "#ffffff");
    EXPECT_EQ(Name(label->palette().color(QPalette::Window)), "#353535");
    const auto [idleInk, idlePaper] = TextOnBackground(label);
    EXPECT_GE(Contrast(idleInk, idlePaper), 4.5) << Name(idleInk) << " on " << Name(idlePaper);
}

// Switched to a dark desktop while running, and back: every label, lit or not, follows.
TEST_F(OperatorHand, LabelsFollowAPaletteChangeWhileRunning)
{
    ASSERT_NO_FATAL_FAILURE(startShown());
    Control<QPushButton>(form, QStringLiteral("Command4"))->click();
    const QString light = Name(QApplication::palette().color(QPalette::Button)).c_str();
    const auto expect = [&](const QString& face) {
        for (const char* name : { "Label1", "Label2", "Label4", "Label5", "Label6", "Label7" })
            EXPECT_EQ(
                Control(form, QLatin1String(name))->palette().color(QPalette::Window).name(), face)
                << name;
        auto* lit = Control(form, QStringLiteral("Label3"));
        EXPECT_EQ(Name(lit->palette().color(QPalette::Window)), "#ffff00");
        EXPECT_EQ(Name(lit->palette().color(QPalette::WindowText)), "#000000");
        auto* brand = Control(form, QStringLiteral("Label7"));
        EXPECT_EQ(Name(brand->palette().color(QPalette::WindowText)), "#008080");
        const auto [ink, paper] = TextOnBackground(Control(form, QStringLiteral("Label6")));
        EXPECT_EQ(paper.name(), face) << "as painted";
        EXPECT_GE(Contrast(ink, paper), 4.5) << Name(ink) << " on " << Name(paper);
    };
    {
        DarkDesktop dark;
        // Qt posts the change to the windows, as a desktop's own switch arrives.
        QCoreApplication::processEvents();
        SCOPED_TRACE("dark");
        expect(QStringLiteral("#353535"));
        // A label lit or put out on the dark desktop takes its face too.
        Control<QPushButton>(form, QStringLiteral("Command4"))->click();
        EXPECT_EQ(Name(Control(form, QStringLiteral("Label3"))->palette().color(QPalette::Window)),
            "#353535");
        Control<QPushButton>(form, QStringLiteral("Command4"))->click();
    }
    QCoreApplication::processEvents();
    SCOPED_TRACE("light again");
    expect(light);
}

// The focus cue: every pixel it changes stands out 3:1 from what was there, and there are
// enough of them to see (at least the length of the thumb).
struct Look {
    const char* style;
    const char* palette;
};

void PrintTo(const Look& look, std::ostream* os)
{
    *os << look.style << '_' << look.palette;
}

class FocusCue : public OperatorHand, public testing::WithParamInterface<Look> { };

TEST_P(FocusCue, StandsOutThreeToOne)
{
    const Look look = GetParam();
    std::unique_ptr<QStyle> style(QStyleFactory::create(QLatin1String(look.style)));
    ASSERT_NE(style, nullptr);
    const QByteArray name = look.palette;
    if (name == "dark")
        form.setPalette(DarkPalette());
    else if (name == "standard")
        form.setPalette(style->standardPalette());
    ASSERT_NO_FATAL_FAILURE(startShown());
    QScrollBar* focused = Slider(form, 0);
    QScrollBar* other = Slider(form, 1);
    for (QScrollBar* bar : { focused, other })
        bar->setStyle(style.get());
    focused->setFocus();
    ASSERT_TRUE(focused->hasFocus());

    const QImage with = focused->grab().toImage();
    const QImage without = other->grab().toImage();
    ASSERT_EQ(with.size(), without.size());
    int cue = 0;
    double weakest = 21;
    for (int y = 0; y < with.height(); ++y)
        for (int x = 0; x < with.width(); ++x)
            if (with.pixel(x, y) != without.pixel(x, y)) {
                ++cue;
                weakest
                    = std::min(weakest, Contrast(with.pixelColor(x, y), without.pixelColor(x, y)));
            }
    const QRect thumb = ScrollBarPart(focused, QStyle::SC_ScrollBarSlider);
    EXPECT_GE(cue, thumb.width() * focused->devicePixelRatio()) << "too few pixels to see";
    EXPECT_GE(weakest, 3.0) << cue << " pixels";
    for (QScrollBar* bar : { focused, other })
        bar->setStyle(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Palettes, FocusCue,
    testing::Values(Look { "Fusion", "default" }, Look { "Fusion", "standard" },
        Look { "Fusion", "dark" }, Look { "Windows", "default" }, Look { "Windows", "standard" },
        Look { "Windows", "dark" }),
    [](const auto& info) { return std::string(info.param.style) + "_" + info.param.palette; });

// What a screen reader hears of a test: the TEST button says its channel is under test, with
// an event when that starts and stops.
std::vector<std::pair<QString, QAccessible::Event>> g_accessibleEvents;

void RecordAccessibleEvent(QAccessibleEvent* event)
{
    if (QObject* object = event->object())
        g_accessibleEvents.emplace_back(object->objectName(), event->type());
}

QString Description(QWidget* widget)
{
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Description);
}

TEST_F(OperatorHand, ScreenReaderLearnsWhichChannelIsUnderTest)
{
    ASSERT_NO_FATAL_FAILURE(startShown());
    const QString under = QStringLiteral("under test");
    std::vector<QPushButton*> tests;
    for (int channel = 0; channel < kChannelCount; ++channel)
        tests.push_back(TestButton(form, channel));
    for (QPushButton* button : tests) {
        EXPECT_FALSE(Description(button).isEmpty()) << "what a press does";
        EXPECT_FALSE(Description(button).contains(under)) << "before";
    }
    EXPECT_FALSE(Description(Control(form, QStringLiteral("Command1"))).isEmpty());
    const QString idle = Description(tests[2]);
    auto* label = Control(form, QStringLiteral("Label3"));

    const QImage before = form.grab().toImage();
    tests[2]->click();
    EXPECT_TRUE(Description(tests[2]).contains(under)) << "during";
    EXPECT_TRUE(Description(tests[2]).contains(QLatin1String("CH3")));
    EXPECT_TRUE(Description(label).contains(under));
    for (int other : { 0, 1, 3 })
        EXPECT_FALSE(Description(tests[other]).contains(under)) << other;

    tests[2]->click();
    EXPECT_EQ(Description(tests[2]), idle) << "after";
    EXPECT_FALSE(Description(label).contains(under));
    EXPECT_EQ(form.grab().toImage(), before) << "stopping leaves the window as it was";
}

// Qt hands accessibility events on only while a screen reader listens, which needs the
// platform's accessibility bridge: the screen-reader test in CMake runs this on X with
// the AT-SPI bus of a private D-Bus session. Offscreen it has nothing to watch.
TEST_F(OperatorHand, ScreenReaderHearsATestStartAndStop)
{
    const bool listening = qEnvironmentVariableIsSet("SERVO_SCREEN_READER");
    // The bridge comes up on first use and connects to the bus asynchronously.
    if (!(listening && QTest::qWaitFor([] { return QAccessible::isActive(); }, 10000))) {
        if (listening)
            FAIL() << "accessibility is not active on "
                   << qPrintable(QGuiApplication::platformName());
        GTEST_SKIP() << "no screen reader listens on "
                     << qPrintable(QGuiApplication::platformName());
    }
    // No window manager there to make the window active; shown is enough.
    ASSERT_NO_FATAL_FAILURE(startShown(false));
    auto* test = Control<QPushButton>(form, QStringLiteral("Command4"));
    g_accessibleEvents.clear();
    const auto previous = QAccessible::installUpdateHandler(&RecordAccessibleEvent);
    test->click();
    const auto started = g_accessibleEvents;
    test->click();
    QAccessible::installUpdateHandler(previous);

    const auto count = [](const auto& events, const char* name) {
        int n = 0;
        for (const auto& [object, type] : events)
            n += object == QLatin1String(name) && type == QAccessible::DescriptionChanged;
        return n;
    };
    for (const char* lit : { "Command4", "Label3" }) {
        EXPECT_EQ(count(started, lit), 1) << lit << " as the test starts";
        EXPECT_EQ(count(g_accessibleEvents, lit), 2) << lit << " and as it stops";
    }
    for (const char* other : { "Command2", "Command3", "Command5", "Label1", "Label2", "Label4" })
        EXPECT_EQ(count(g_accessibleEvents, other), 0) << other;
}

TEST_F(OperatorHand, LabelsNameTheirControlsForScreenReaders)
{
    ASSERT_NO_FATAL_FAILURE(startShown());
    const std::pair<const char*, const char*> pairs[] = {
        { "Label1", "HScroll1" },
        { "Label2", "HScroll2" },
        { "Label3", "HScroll3" },
        { "Label4", "HScroll4" },
        { "Label6", "Text1" },
    };
    for (const auto& [labelName, controlName] : pairs) {
        SCOPED_TRACE(controlName);
        QWidget* label = Control(form, QLatin1String(labelName));
        QWidget* labelled = Control(form, QLatin1String(controlName));
        QAccessibleInterface* labelAccess = QAccessible::queryAccessibleInterface(label);
        QAccessibleInterface* controlAccess = QAccessible::queryAccessibleInterface(labelled);
        const auto labelledBy = controlAccess->relations(QAccessible::Label);
        ASSERT_EQ(labelledBy.size(), 1);
        EXPECT_EQ(labelledBy.front().first->object(), label);
        const auto labels = labelAccess->relations(QAccessible::Labelled);
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels.front().first->object(), labelled);
    }
}

} // namespace
