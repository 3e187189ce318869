#include "controls.h"
#include "form1.h"
#include "layout_expectations.h"
#include "pty.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QKeySequence>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace servo {
namespace {

    using test::Control;
    using test::ExpectedControl;
    using test::kExpectedControls;
    using test::Kind;
    using test::Pty;

    const QColor kTeal(0, 128, 128);

    const char* const kFocusOrder[] = {
        "HScroll1",
        "HScroll2",
        "HScroll3",
        "HScroll4",
        "Command1",
        "Text1",
        "Text2",
        "Text3",
        "Text4",
        "Text5",
        "Command2",
        "Command3",
        "Command4",
        "Command5",
    };

    // The window as the operator gets it: started against a pseudo-terminal and shown.
    class Layout : public testing::Test {
    protected:
        void SetUp() override
        {
            ASSERT_TRUE(form.start());
            ASSERT_EQ(pty.read(16).size(), 16u) << "the four start-up frames";
            form.show();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        }

        QString focusName() const
        {
            QWidget* focus = QApplication::focusWidget();
            return focus ? focus->objectName() : QStringLiteral("(none)");
        }

        void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
        {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
        }

        Pty pty;
        Form1 form { pty.path() };
    };

    bool HasKind(QWidget* widget, Kind kind)
    {
        switch (kind) {
        case Kind::Label:
            return qobject_cast<QLabel*>(widget);
        case Kind::Slider: {
            auto* slider = qobject_cast<QScrollBar*>(widget);
            return slider && slider->orientation() == Qt::Horizontal;
        }
        case Kind::TextBox:
            return qobject_cast<QLineEdit*>(widget);
        case Kind::Button:
            return qobject_cast<QPushButton*>(widget);
        }
        return false;
    }

    QString Caption(QWidget* widget)
    {
        if (auto* label = qobject_cast<QLabel*>(widget))
            return label->text();
        if (auto* edit = qobject_cast<QLineEdit*>(widget))
            return edit->text();
        if (auto* button = qobject_cast<QPushButton*>(widget))
            return button->text();
        return {};
    }

    // The colour a control actually paints at a pixel, as a screen grab sees it.
    QColor PaintedAt(QWidget* widget, QPoint at)
    {
        return widget->grab().toImage().pixelColor(at);
    }

    TEST_F(Layout, EveryControlSitsWhereItWasDrawn)
    {
        EXPECT_EQ(form.size(), QSize(test::kClientWidth, test::kClientHeight));
        for (const ExpectedControl& expected : kExpectedControls) {
            SCOPED_TRACE(expected.name);
            QWidget* widget = Control(form, expected.name);
            ASSERT_NE(widget, nullptr);
            EXPECT_EQ(widget->parentWidget(), &form);
            EXPECT_TRUE(HasKind(widget, expected.kind)) << widget->metaObject()->className();
            EXPECT_EQ(widget->geometry(), expected.rect);
            EXPECT_TRUE(widget->isVisible());
        }
        EXPECT_EQ(form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size(),
            qsizetype(std::size(kExpectedControls)))
            << "no control beyond the drawn ones";
    }

    // The title bar's buttons and the size hints, as a window manager reads them, are
    // RealProgram.WindowManagerShowsOnlyACloseButtonAFixedSizeAndTheEntrysIcon.
    TEST_F(Layout, WindowHasItsTitleAFixedSizeAndTheButtonFace)
    {
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Varnel Pulse Control"));
        const QSize client(test::kClientWidth, test::kClientHeight);
        form.resize(500, 300);
        EXPECT_EQ(form.size(), client);

        const QColor face = form.palette().color(QPalette::Button);
        EXPECT_EQ(PaintedAt(&form, QPoint(2, 2)), face);
        EXPECT_EQ(PaintedAt(&form, QPoint(client.width() - 2, client.height() - 2)), face);
    }

    TEST_F(Layout, CaptionsAndFontsAsDrawn)
    {
        struct Font {
            qreal points;
            bool boldItalic;
        };
        const auto fontOf = [](const ExpectedControl& c) {
            const QByteArray name = c.name;
            if (name == "Label7")
                return Font { 11.25, true };
            if (name.startsWith("Command") && name != "Command1")
                return Font { 8.25, false };
            // The panel's default face: Arial 8 pt.
            return Font { 8.0, false };
        };
        for (const ExpectedControl& expected : kExpectedControls) {
            SCOPED_TRACE(expected.name);
            QWidget* widget = Control(form, expected.name);
            ASSERT_NE(widget, nullptr);
            if (expected.text) {
                EXPECT_EQ(Caption(widget), QLatin1String(expected.text));
                EXPECT_TRUE(QKeySequence::mnemonic(Caption(widget)).isEmpty()) << "no access key";
            }
            const Font want = fontOf(expected);
            const QFont font = widget->font();
            EXPECT_EQ(font.family(), QStringLiteral("Arial"));
            EXPECT_DOUBLE_EQ(font.pointSizeF(), want.points);
            EXPECT_EQ(font.bold(), want.boldItalic);
            EXPECT_EQ(font.italic(), want.boldItalic);
            // What is drawn is Arial or its metric twin, in the requested style.
            const QFontInfo drawn(font);
            EXPECT_TRUE(drawn.family() == QLatin1String("Arial")
                || drawn.family() == QLatin1String("Liberation Sans"))
                << drawn.family().toStdString();
            EXPECT_EQ(drawn.bold(), want.boldItalic);
            EXPECT_EQ(drawn.italic(), want.boldItalic);
        }
        for (auto* button : form.findChildren<QPushButton*>()) {
            SCOPED_TRACE(button->objectName().toStdString());
            EXPECT_TRUE(button->shortcut().isEmpty());
        }
    }

    TEST_F(Layout, LabelsAreLeftAlignedOpaqueBorderlessOnButtonFace)
    {
        const QColor face = form.palette().color(QPalette::Button);
        for (const ExpectedControl& expected : kExpectedControls) {
            if (expected.kind != Kind::Label)
                continue;
            SCOPED_TRACE(expected.name);
            auto* label = Control<QLabel>(form, expected.name);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
            EXPECT_EQ(label->frameShape(), QFrame::NoFrame);
            EXPECT_TRUE(label->autoFillBackground());
            EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
            // Bottom-right corner: background, clear of the text.
            const QPoint corner(label->width() - 1, label->height() - 1);
            EXPECT_EQ(PaintedAt(label, corner), face);
            EXPECT_EQ(PaintedAt(label, QPoint(0, 0)), face) << "no border";
        }
        EXPECT_EQ(Control<QLabel>(form, "Label7")->palette().color(QPalette::WindowText), kTeal);
        // The brand's strokes are solid teal where they cover whole pixels.
        const QImage brand = Control(form, "Label7")->grab().toImage();
        int teal = 0;
        for (int y = 0; y < brand.height(); ++y)
            for (int x = 0; x < brand.width(); ++x)
                teal += brand.pixelColor(x, y) == kTeal;
        EXPECT_GT(teal, 20);
    }

    TEST_F(Layout, NoButtonAnswersEnterOrEscape)
    {
        std::vector<std::unique_ptr<QSignalSpy>> clicks;
        for (auto* button : form.findChildren<QPushButton*>()) {
            SCOPED_TRACE(button->objectName().toStdString());
            EXPECT_FALSE(button->isDefault());
            EXPECT_FALSE(button->autoDefault());
            clicks.push_back(std::make_unique<QSignalSpy>(button, &QPushButton::clicked));
        }
        ASSERT_EQ(clicks.size(), 5u);
        for (const char* name : { "HScroll1", "Text1", "Text3" }) {
            Control(form, name)->setFocus();
            press(Qt::Key_Return);
            press(Qt::Key_Enter);
            press(Qt::Key_Escape);
        }
        for (const auto& spy : clicks)
            EXPECT_EQ(spy->count(), 0);
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(pty.readAll(), "");
    }

    TEST_F(Layout, TabWalksTheControlsInOrderFromTheFirstSlider)
    {
        EXPECT_EQ(focusName(), QStringLiteral("HScroll1")) << "focus on opening";
        const int count = int(std::size(kFocusOrder));
        for (int step = 1; step <= count; ++step) {
            press(Qt::Key_Tab);
            EXPECT_EQ(focusName(), QString::fromLatin1(kFocusOrder[step % count]))
                << "Tab " << step;
        }
        for (int step = 1; step <= count; ++step) {
            press(Qt::Key_Backtab, Qt::ShiftModifier);
            EXPECT_EQ(focusName(), QString::fromLatin1(kFocusOrder[(count - step) % count]))
                << "Shift+Tab " << step;
        }
        EXPECT_EQ(pty.readAll(), "") << "walking the focus sends nothing";
    }

    TEST_F(Layout, TheFocusedSliderShowsIt)
    {
        // Same value, same size: only the focus tells the two apart.
        const QImage focused = Control(form, "HScroll1")->grab().toImage();
        const QImage unfocused = Control(form, "HScroll2")->grab().toImage();
        EXPECT_NE(focused, unfocused);
        press(Qt::Key_Tab);
        ASSERT_EQ(focusName(), QStringLiteral("HScroll2"));
        EXPECT_EQ(Control(form, "HScroll1")->grab().toImage(), unfocused);
        EXPECT_EQ(Control(form, "HScroll2")->grab().toImage(), focused);
    }

    TEST_F(Layout, ScreenReadersCanNameEveryControlTheyReach)
    {
        const std::pair<const char*, const char*> names[] = {
            { "HScroll1", "CH1" },
            { "HScroll2", "CH2" },
            { "HScroll3", "CH3" },
            { "HScroll4", "CH4" },
            { "Text2", "CH1 value" },
            { "Text3", "CH2 value" },
            { "Text4", "CH3 value" },
            { "Text5", "CH4 value" },
            { "Command2", "CH1 TEST" },
            { "Command3", "CH2 TEST" },
            { "Command4", "CH3 TEST" },
            { "Command5", "CH4 TEST" },
            { "Command1", "EXIT" },
            { "Text1", "min" },
        };
        for (const auto& [name, spoken] : names) {
            SCOPED_TRACE(name);
            QAccessibleInterface* accessible
                = QAccessible::queryAccessibleInterface(Control(form, name));
            ASSERT_NE(accessible, nullptr);
            EXPECT_EQ(accessible->text(QAccessible::Name), QLatin1String(spoken));
        }
    }

} // namespace
} // namespace servo
