#include "framework/qt/Controls.h"

#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QTextBlock>

TTimer::TTimer(QObject* parent) : QObject(parent) {
    connect(&timer_, &QTimer::timeout, this, [this] { Due(); });
}

void TTimer::SetEnabled(bool value) {
    if (value == timer_.isActive())
        return;
    ++generation_;
    posted_ = false;
    if (value)
        timer_.start();
    else
        timer_.stop();
}

void TTimer::Due() {
    if (posted_)
        return;
    posted_ = true;
    const unsigned generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != generation_ || !timer_.isActive())
                return;
            posted_ = false;
            if (OnTimer)
                OnTimer();
        },
        Qt::QueuedConnection);
}

TLabel::TLabel(QWidget* parent) : QLabel(parent) {}

std::string TLabel::Caption() const {
    return text().toStdString();
}

void TLabel::SetCaption(const std::string& value) {
    setText(QString::fromStdString(value));
    FitToText();
}

void TLabel::SetAutoSize(bool value) {
    autoSize_ = value;
    FitToText();
}

void TLabel::SetFontColor(int red, int green, int blue) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(red, green, blue));
    setPalette(p);
}

QColor TLabel::FontColor() const {
    return palette().color(QPalette::WindowText);
}

void TLabel::FitToText() {
    if (!autoSize_)
        return;
    // An empty label keeps a sliver of width, as a framework label does.
    int width = fontMetrics().horizontalAdvance(text());
    resize(std::max(width, 1), height());
}

TTabControl::TTabControl(QWidget* parent) : QTabBar(parent) {
    setDrawBase(false);
    setExpanding(false);
    setElideMode(Qt::ElideNone);
    setUsesScrollButtons(false);
}

void TTabControl::paintEvent(QPaintEvent* event) {
    // The page frame first, then the tabs over its top edge.
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    int tabHeight = count() > 0 ? tabRect(0).height() : 0;
    frame.rect = QRect(0, tabHeight - 1, width(), height() - tabHeight + 1);
    frame.shape = shape();
    frame.tabBarSize = QSize(width(), tabHeight);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, this);
    painter.end();
    QTabBar::paintEvent(event);
}

TProgressBar::TProgressBar(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    setRange(0, 100);
    setValue(0);
}

void TProgressBar::SetPosition(int value) {
    setValue(std::clamp(value, minimum(), maximum()));
}

void TProgressBar::StepIt() {
    int next = value() + step_;
    if (next > maximum())
        next = minimum() + (next - maximum());
    setValue(std::clamp(next, minimum(), maximum()));
}

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The texts are broken into lines by hand; wrapping them again in a wider font leaves
    // single words on lines of their own.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

void TMemo::SetLines(const char* const* lines, int count) {
    QStringList all;
    for (int i = 0; i < count; ++i)
        all << QString::fromUtf8(lines[i]);
    setPlainText(all.join(QChar('\n')));
}

int TMemo::LineCount() const {
    return document()->blockCount();
}

std::string TMemo::Line(int index) const {
    return document()->findBlockByNumber(index).text().toStdString();
}
