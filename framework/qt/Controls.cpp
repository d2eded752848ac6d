#include "framework/qt/Controls.h"

#include "framework/Application.h"

#include <QCloseEvent>
#include <QIcon>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionTabWidgetFrame>
#include <QTextBlock>

namespace {

// Debian: fonts-liberation. The window is laid out for a narrow 8-point sans; of Debian's fonts
// this one keeps every text inside its box, all four tabs in the strip and whole port names in
// the closed selector.
constexpr char WindowFontFamily[] = "Liberation Sans Narrow";

} // namespace

TForm::TForm(QWidget* parent) : TControlOf<QWidget>(parent) {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont base(QString::fromUtf8(WindowFontFamily));
    base.setStyleHint(QFont::SansSerif);
    base.setPointSize(8);
    setFont(base);
    setWindowIcon(QIcon(QStringLiteral(":/icons/quorvel.ico")));
}

std::string TForm::Caption() const {
    return windowTitle().toStdString();
}

void TForm::SetCaption(const std::string& text) {
    setWindowTitle(QString::fromStdString(text));
}

void TForm::SetClientSize(int width, int height) {
    setFixedSize(width, height);
}

void TForm::SetTabOrder(std::initializer_list<QWidget*> chain) {
    QWidget* previous = nullptr;
    for (QWidget* w : chain) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

void TForm::closeEvent(QCloseEvent* event) {
    Guard([this] {
        if (OnClose)
            OnClose();
    });
    event->accept();
}

void TForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    if (QScreen* s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

TButton::TButton(QWidget* parent) : TControlOf<QPushButton>(parent) {
    connect(this, &QPushButton::clicked, this, [this] {
        if (OnClick)
            OnClick();
    });
}

std::string TButton::Caption() const {
    return text().toStdString();
}

void TButton::SetCaption(const std::string& value) {
    setText(QString::fromStdString(value));
}

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

TLabel::TLabel(QWidget* parent) : TControlOf<QLabel>(parent) {
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

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

void TLabel::SetFontStyle(int pointSize, bool bold) {
    QFont f = font();
    if (pointSize > 0)
        f.setPointSize(pointSize);
    f.setBold(bold);
    setFont(f);
    FitToText();
}

void TLabel::SetCentred() {
    setAlignment(Qt::AlignHCenter | Qt::AlignTop);
}

void TLabel::FitToText() {
    if (!autoSize_)
        return;
    // An empty label keeps a sliver of width, as a framework label does.
    int width = fontMetrics().horizontalAdvance(text());
    resize(std::max(width, 1), height());
}

TTabControl::TTabControl(QWidget* parent) : TControlOf<QTabBar>(parent) {
    setDrawBase(false);
    setExpanding(false);
    setElideMode(Qt::ElideNone);
    setUsesScrollButtons(false);
    // Slim tabs, so all four captions fit in the strip with the window's font.
    setStyleSheet(QStringLiteral("QTabBar::tab { padding: 3px 4px; }"));
    connect(this, &QTabBar::currentChanged, this, [this] {
        if (OnChange)
            OnChange();
    });
}

void TTabControl::AddTab(const std::string& caption) {
    addTab(QString::fromStdString(caption));
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

TProgressBar::TProgressBar(QWidget* parent) : TControlOf<QProgressBar>(parent) {
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

TMemo::TMemo(QWidget* parent) : TControlOf<QPlainTextEdit>(parent) {
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
