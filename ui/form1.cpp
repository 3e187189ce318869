#include "form1.h"

#include "button.h"
#include "colour.h"
#include "entry.h"
#include "layout.h"
#include "slider.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>

#include <algorithm>
#include <vector>

namespace servo {
namespace {

    constexpr int kSliderMaximum = 255;
    constexpr int kSliderCreatedValue = 1;

    QString ChannelName(int channel)
    {
        return QStringLiteral("CH%1").arg(channel + 1);
    }

    // The panel's captions were sized for an 8 pt face about Arial's size; the desktop's own
    // font (Noto Sans, Segoe UI, ...) runs taller and would clip the 13 px labels.
    constexpr qreal kDefaultPoints = 8.0;

    QFont ArialFont(qreal points, bool boldItalic = false)
    {
        QFont font(QStringLiteral("Arial"));
        font.setPointSizeF(points);
        font.setBold(boldItalic);
        font.setItalic(boldItalic);
        return font;
    }

} // namespace

Form1::Form1(const std::optional<QString>& device, QWidget* parent)
    // The system menu hint is what gives a plain window its close button on Windows.
    : QWidget(parent,
        Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
            | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_link(device, this)
    , m_panel(*this, m_link)
{
    setObjectName(QStringLiteral("Form1"));
    // Arial's metric twin stands in where Arial is missing, so captions keep their widths.
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    setWindowTitle(tr(kWindowTitle));
    setFixedSize(TwipsToPixels(kClientWidthTwips), TwipsToPixels(kClientHeightTwips));
    setFont(ArialFont(kDefaultPoints));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);

    m_link.setObjectName(QStringLiteral("Comm1"));
    connect(&m_link, &SerialLink::failed, this,
        [this](const QString& message) { m_panel.linkFailed(message.toStdString()); });

    label("Label5", tr("COM1 Only"));
    for (int channel = 0; channel < kChannelCount; ++channel)
        buildChannel(channel);
    QLabel* minLabel = label("Label6", tr("min"));
    QLabel* brand = label("Label7", QStringLiteral("Quorvane"), 0x00808000);
    brand->setFont(ArialFont(11.25, true));

    m_entry = place<Entry>("Text1");
    m_entry->setAccessibleName(tr("min"));
    minLabel->setBuddy(m_entry);
    connect(m_entry, &QLineEdit::textChanged, this, [this] { m_panel.lowerBoundTextChanged(); });

    auto* exitButton = button("Command1", tr("EXIT"));
    exitButton->setAccessibleName(tr("EXIT"));
    exitButton->setAccessibleDescription(tr("Closes the port and ends the program"));
    connect(exitButton, &QPushButton::clicked, this, [this] { m_panel.exitClicked(); });

    setFocusChain();

    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setParent(this);
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_panel.tick(); });
    m_timer.start();

    // Destroyed by another program, the window is gone from the screen and nobody can close
    // it: the panel ends as the title bar's close would end it.
    m_destroyedWatch.emplace(*this, [this] { m_panel.end(EndRequest::WindowClose); });
}

bool Form1::start(const std::function<void()>& deliverEndings)
{
    if (!m_panel.start(deliverEndings))
        return false;
    // "COM1 Only" keeps its caption; which device stands for port 1 shows on hover.
    const QString inUse = m_link.description().isEmpty()
        ? tr("Port 1: %1").arg(m_link.device())
        : tr("Port 1: %1 (%2)").arg(m_link.device(), m_link.description());
    auto* portLabel = findChild<QLabel*>(QStringLiteral("Label5"));
    portLabel->setToolTip(inUse);
    portLabel->setAccessibleDescription(inUse);
    // A report box's first making loads its icons and the style's parts for dialogs: a tenth
    // of a second here, over a second on a slow board, between a lost port and its report.
    // Made once while nothing happens, they are at hand when it counts.
    QTimer::singleShot(0, this, [this] { delete reportBox(QString()); });
    return true;
}

QMessageBox* Form1::reportBox(const QString& message)
{
    return new QMessageBox(QMessageBox::Critical, windowTitle(), message, QMessageBox::Ok,
        isVisible() ? this : nullptr);
}

template <typename Widget> Widget* Form1::place(const char* name)
{
    auto* widget = new Widget(this);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(PixelRect(*FindPlacement(name)));
    return widget;
}

QLabel* Form1::label(const char* name, const QString& caption, std::optional<ColourValue> text)
{
    auto* label = place<QLabel>(name);
    label->setText(caption);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAutoFillBackground(true);
    label->setBackgroundRole(QPalette::Window);
    m_labelColours.push_back({ label, kButtonFaceColour, text });
    paintLabel(label, kButtonFaceColour, text);
    return label;
}

void Form1::paintLabel(QLabel* label, ColourValue background, std::optional<ColourValue> text)
{
    // Only what is set here is the label's own; the rest follows the desktop's palette.
    QPalette palette;
    const QColor face = ToQColor(background, this->palette());
    palette.setColor(QPalette::Window, face);
    // The desktop's text colour is made for its button face: on a dark theme it is light,
    // and unreadable on yellow.
    if (text)
        palette.setColor(QPalette::WindowText, ToQColor(*text, this->palette()));
    else if (!(background & kSystemColour))
        palette.setColor(QPalette::WindowText, TextColourOn(face));
    label->setPalette(palette);
}

QPushButton* Form1::button(const char* name, const QString& caption)
{
    auto* button = place<Button>(name);
    button->setText(caption);
    return button;
}

void Form1::buildChannel(int channel)
{
    const QByteArray n = QByteArray::number(channel + 1);
    const QString name = ChannelName(channel);

    m_labels[channel] = label(("Label" + n).constData(), name);

    Slider* slider = place<Slider>(("HScroll" + n).constData());
    slider->setRange(kSliderCreatedValue, kSliderMaximum);
    slider->setValue(kSliderCreatedValue);
    slider->setSingleStep(1);
    slider->setPageStep(1);
    // Only committed changes count: no value change while the thumb is dragged.
    slider->setTracking(false);
    slider->setAccessibleName(name);
    m_labels[channel]->setBuddy(slider);
    connect(slider, &QScrollBar::valueChanged, this,
        [this, channel] { m_panel.sliderChanged(channel); });
    m_sliders[channel] = slider;

    QLineEdit* readout = place<QLineEdit>(("Text" + QByteArray::number(channel + 2)).constData());
    readout->setAccessibleName(tr("%1 value").arg(name));
    // Four hex digits (every negative value) outgrow the 29 px box; the line takes in
    // 1 px of QLineEdit's own 2 px inner margin on each side, and setReadout condenses them.
    readout->setTextMargins(-1, 0, -1, 0);
    m_readouts[channel] = readout;

    auto* test = button(("Command" + QByteArray::number(channel + 2)).constData(), tr("TEST"));
    test->setFont(ArialFont(8.25));
    test->setAccessibleName(tr("%1 TEST").arg(name));
    m_tests[channel] = test;
    setTestRunning(channel, false);
    connect(test, &QPushButton::clicked, this, [this, channel] { m_panel.testClicked(channel); });
}

void Form1::setFocusChain()
{
    std::vector<const Placement*> focusable;
    for (const Placement& p : kLayout)
        if (p.tab)
            focusable.push_back(&p);
    std::sort(focusable.begin(), focusable.end(),
        [](const Placement* a, const Placement* b) { return *a->tab < *b->tab; });
    QWidget* previous = nullptr;
    for (const Placement* p : focusable) {
        auto* widget = findChild<QWidget*>(QLatin1String(p->name.data(), p->name.size()));
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
    m_sliders[0]->setFocus();
}

int16_t Form1::sliderValue(int channel) const
{
    return static_cast<int16_t>(m_sliders[channel]->value());
}

void Form1::setSliderValue(int channel, int16_t value)
{
    m_sliders[channel]->setValue(value);
}

void Form1::setSliderMinimum(int channel, int16_t minimum)
{
    m_sliders[channel]->setMinimum(minimum);
}

void Form1::setReadout(int channel, const std::string& text)
{
    const QString shown = QString::fromStdString(text);
    // Even with the margins taken in, four digits are wider than the box: they are drawn
    // condensed rather than cut. Up to two digits keep the window's own font.
    QFont font;
    if (shown.size() > 2)
        font.setStretch(QFont::Condensed);
    QLineEdit* readout = m_readouts[channel];
    if (readout->font().stretch() != font.stretch())
        readout->setFont(font);
    readout->setText(shown);
}

void Form1::endHold()
{
    for (Slider* slider : m_sliders)
        slider->letGo();
}

std::optional<HeldThumb> Form1::heldThumb() const
{
    for (int channel = 0; channel < kChannelCount; ++channel)
        if (m_sliders[channel]->isSliderDown())
            return HeldThumb { channel,
                static_cast<int16_t>(m_sliders[channel]->sliderPosition()) };
    return std::nullopt;
}

std::string Form1::lowerBoundText() const
{
    return m_entry->text().toStdString();
}

void Form1::setLowerBoundText(const std::string& text)
{
    m_entry->setText(QString::fromStdString(text));
}

void Form1::setLabelColour(int channel, ColourValue colour)
{
    for (LabelColours& colours : m_labelColours)
        if (colours.label == m_labels[channel]) {
            colours.background = colour;
            paintLabel(colours.label, colour, colours.text);
        }
}

void Form1::setTestRunning(int channel, bool running)
{
    const QString name = ChannelName(channel);
    const QString swing
        = tr("between %1 and %2 once a second").arg(Panel::kTestHigh).arg(Panel::kTestLow);
    const QString description = running
        ? tr("%1 is under test, swinging %2. Press to stop.").arg(name, swing)
        : tr("Swings %1 %2 until pressed again.").arg(name, swing);
    // Qt raises a change event on every call, which a screen reader would announce for the
    // buttons whose test did not change.
    if (m_tests[channel]->accessibleDescription() != description)
        m_tests[channel]->setAccessibleDescription(description);
    QLabel* label = m_labels[channel];
    const QString labelDescription = running ? tr("under test") : QString();
    if (label->accessibleDescription() != labelDescription)
        label->setAccessibleDescription(labelDescription);
}

void Form1::report(const std::string& text, bool onScreen)
{
    const QString message = QString::fromStdString(text);
    // Nothing moves after a failure; the panel sends nothing more either way.
    m_timer.stop();
    // Also on standard error, for a panel started from a terminal or a desktop session log.
    qCritical().noquote() << message;
    if (!onScreen)
        return;
    // The status comes from the report, not from the last window closing.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QMessageBox* box = reportBox(message);
    box->setObjectName(QStringLiteral("failureReport"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QDialog::finished, this, [this] { m_panel.reportAnswered(); });
    // Destroyed by another program, the box can no longer be answered, nor the window it
    // blocks closed: that counts as its answer.
    auto* watch = new platform::WindowDestroyedWatch(*box, [this] { m_panel.reportAnswered(); });
    connect(box, &QObject::destroyed, [watch] { delete watch; });
    box->show();
}

void Form1::quit(int status)
{
    m_timer.stop();
    hide();
    QCoreApplication::exit(status);
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->setAccepted(m_panel.end(EndRequest::WindowClose));
}

void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // The button face a label took is a colour of its own now: a new desktop palette (a
    // switch to a dark scheme) must reach it as it reaches everything else.
    if (event->type() == QEvent::PaletteChange)
        for (const LabelColours& colours : m_labelColours)
            paintLabel(colours.label, colours.background, colours.text);
}

} // namespace servo
