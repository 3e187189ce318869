#include "sim_window.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace servo::sim {

namespace {

    constexpr int kTravel = 255;
    constexpr int kRecentRows = 1000;

    // Readable on light and dark themes alike.
    QColor Alarm(const QPalette& palette)
    {
        return palette.color(QPalette::Base).lightness() < 128 ? QColor(255, 120, 120)
                                                               : QColor(190, 0, 0);
    }

    QString Spaced(const QByteArray& bytes)
    {
        return QString::fromLatin1(bytes.toHex(' ').toUpper());
    }

} // namespace

// A servo's position on its travel, read-only: the track 0..255 with quarter marks and a
// knob where the last frame put it; red at the end stop for a value beyond the travel.
class TravelGauge : public QWidget {
public:
    explicit TravelGauge(QWidget* parent = nullptr)
        : QWidget(parent)
    {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    void setValue(int value)
    {
        m_value = value;
        m_known = true;
        setToolTip(tr("%1 of 0..255").arg(value));
        update();
    }
    QSize sizeHint() const override { return { 280, 28 }; }
    QSize minimumSizeHint() const override { return { 140, 28 }; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QPalette& pal = palette();
        const qreal knob = 8;
        const QRectF groove(knob, height() / 2.0 - 5, width() - 2 * knob, 8);
        auto xOf = [&](int v) { return groove.left() + groove.width() * v / kTravel; };

        p.setPen(QPen(pal.color(QPalette::Mid), 1));
        for (int mark : { 0, 64, 128, 192, kTravel })
            p.drawLine(
                QPointF(xOf(mark), groove.bottom() + 3), QPointF(xOf(mark), groove.bottom() + 7));
        p.setBrush(pal.color(QPalette::Base));
        p.drawRoundedRect(groove, 4, 4);
        if (!m_known)
            return;

        const bool beyond = m_value < 0 || m_value > kTravel;
        const QColor colour = beyond ? Alarm(pal) : pal.color(QPalette::Highlight);
        const qreal x = xOf(std::clamp(m_value, 0, kTravel));
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(groove.topLeft(), QPointF(x, groove.bottom())), 4, 4);
        p.setPen(QPen(pal.color(QPalette::WindowText), 1));
        p.drawEllipse(QPointF(x, groove.center().y()), knob - 1, knob - 1);
    }

private:
    int m_value = 0;
    bool m_known = false;
};

SimWindow::SimWindow(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("servoSim"));
    setWindowTitle(tr("servo-sim: virtual controller"));
    auto* layout = new QVBoxLayout(this);

    m_line = new QLabel(this);
    m_line->setObjectName(QStringLiteral("line"));
    m_line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_line);

    auto* grid = new QGridLayout;
    const QStringList heads
        = { QString(), tr("Position (0..255)"), tr("Value"), tr("Hex"), tr("Frames") };
    for (int column = 0; column < heads.size(); ++column) {
        auto* head = new QLabel(heads[column], this);
        head->setEnabled(false);
        grid->addWidget(head, 0, column, column > 1 ? Qt::AlignRight : Qt::AlignLeft);
    }
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (int ch = 0; ch < 4; ++ch) {
        Channel& c = m_channels[ch];
        const QString name = QStringLiteral("CH%1").arg(ch + 1);
        auto* label = new QLabel(name, this);
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
        c.gauge = new TravelGauge(this);
        c.gauge->setAccessibleName(tr("%1 position").arg(name));
        c.value = new QLabel(QStringLiteral("-"), this);
        c.value->setFont(bold);
        c.hex = new QLabel(QStringLiteral("-"), this);
        c.hex->setFont(fixed);
        c.frames = new QLabel(QStringLiteral("0"), this);
        for (QLabel* l : { c.value, c.hex, c.frames }) {
            l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            l->setMinimumWidth(l->fontMetrics().horizontalAdvance(QStringLiteral("-32768")));
        }
        c.value->setObjectName(QStringLiteral("value%1").arg(ch + 1));
        c.frames->setObjectName(QStringLiteral("frames%1").arg(ch + 1));
        grid->addWidget(label, ch + 1, 0);
        grid->addWidget(c.gauge, ch + 1, 1);
        grid->addWidget(c.value, ch + 1, 2);
        grid->addWidget(c.hex, ch + 1, 3);
        grid->addWidget(c.frames, ch + 1, 4);
    }
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    m_invalid = new QLabel(tr("Invalid bytes: 0"), this);
    m_invalid->setObjectName(QStringLiteral("invalid"));
    layout->addWidget(m_invalid);

    m_recent = new QTreeWidget(this);
    m_recent->setObjectName(QStringLiteral("recent"));
    m_recent->setRootIsDecorated(false);
    m_recent->setUniformRowHeights(true);
    m_recent->setHeaderLabels(
        { tr("ms"), tr("Channel"), tr("Value"), tr("Hex"), tr("Interval"), tr("Bytes") });
    m_recent->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_recent->header()->setStretchLastSection(true);
    layout->addWidget(m_recent, 1);
    // The list follows the newest frame until the reader scrolls back, through resizes too.
    QScrollBar* bar = m_recent->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
        [this, bar](int value) { m_following = value == bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (m_following)
            bar->setValue(maximum);
    });

    m_panel = new QLabel(this);
    m_panel->setObjectName(QStringLiteral("panel"));
    m_panel->setWordWrap(true);
    layout->addWidget(m_panel);
    m_printed = new QPlainTextEdit(this);
    m_printed->setObjectName(QStringLiteral("printed"));
    m_printed->setReadOnly(true);
    m_printed->setFont(fixed);
    m_printed->setMaximumHeight(m_printed->fontMetrics().lineSpacing() * 7);
    m_printed->hide();
    layout->addWidget(m_printed);

    for (const QKeySequence keys : { QKeySequence::Close, QKeySequence::Quit })
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);

    resize(560, 600);
}

void SimWindow::showLine(const QString& device, const QString& settings)
{
    m_line->setText(tr("Line: %1 standing in for /dev/ttyS0, %2").arg(device, settings));
}

void SimWindow::showRecord(const Record& record)
{
    if (record.frame) {
        Channel& c = m_channels[record.channel];
        c.gauge->setValue(record.value);
        c.value->setText(QString::number(record.value));
        c.hex->setText(QString::fromStdString(HexText(record.value)));
        c.frames->setText(QString::number(record.channelFrames));
    } else {
        m_invalid->setText(tr("Invalid bytes: %1").arg(record.invalidBytes));
        QPalette palette = m_invalid->palette();
        palette.setColor(QPalette::WindowText, Alarm(palette));
        m_invalid->setPalette(palette);
    }
    addRecent(record);
}

void SimWindow::addRecent(const Record& record)
{
    auto* item = new QTreeWidgetItem(m_recent);
    item->setText(0, QString::number(record.atMs));
    item->setText(5, Spaced(record.bytes));
    if (record.frame) {
        item->setText(1, QStringLiteral("CH%1").arg(record.channel + 1));
        item->setText(2, QString::number(record.value));
        item->setText(3, QString::fromStdString(HexText(record.value)));
        item->setText(4, record.sinceMs < 0 ? tr("first") : tr("+%1 ms").arg(record.sinceMs));
    } else {
        item->setText(1, tr("invalid"));
        item->setText(
            2, record.bytes.size() == 1 ? tr("1 byte") : tr("%1 bytes").arg(record.bytes.size()));
        for (int column = 0; column < m_recent->columnCount(); ++column)
            item->setForeground(column, Alarm(palette()));
    }
    for (int column : { 0, 2, 4 })
        item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    while (m_recent->topLevelItemCount() > kRecentRows)
        delete m_recent->takeTopLevelItem(0);
}

void SimWindow::showPanelRunning(qint64 pid)
{
    m_panel->setText(tr("Panel: running (process %1).").arg(pid));
    m_printed->clear();
    m_printed->hide();
}

void SimWindow::showPanelAbsent(const QString& slave)
{
    m_panel->setText(
        tr("No panel started: bind %1 over /dev/ttyS0 for the program to test.").arg(slave));
}

void SimWindow::showPanelEnded(int status, const QString& summary, const QString& printed)
{
    m_panel->setText(tr("Panel: %1").arg(summary));
    QPalette palette = m_panel->palette();
    if (status != 0)
        palette.setColor(QPalette::WindowText, Alarm(palette));
    m_panel->setPalette(palette);
    m_printed->setPlainText(printed);
    m_printed->setVisible(!printed.isEmpty());
}

} // namespace servo::sim
