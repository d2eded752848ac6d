#include "serial/controls/qt/ComPortControls.h"

#include "serial/ComPortInfo.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFile>
#include <QPainter>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>

// ---- TComComboBox ---------------------------------------------------------------------------

class TComComboBox::Items : public TStrings {
public:
    explicit Items(QComboBox& box) : box_(box) {}
    void Clear() override { box_.clear(); }
    void Add(const std::string& text) override { box_.addItem(QString::fromStdString(text)); }
    int Count() const override { return box_.count(); }
    std::string Strings(int index) const override { return box_.itemText(index).toStdString(); }

private:
    QComboBox& box_;
};

TComComboBox::TComComboBox(QWidget* parent) : TControlOf<QComboBox>(parent) {
    SetEntries(std::make_unique<Items>(*this));
    setEditable(false); // entries can only be picked
    view()->setTextElideMode(Qt::ElideLeft);
    // A pick by the user, never a selection made from code.
    connect(this, &QComboBox::activated, this, [this](int) { Change(); });
    // The closed box tells what its shown entry is.
    connect(this, &QComboBox::currentIndexChanged, this,
            [this](int index) { setToolTip(itemData(index, Qt::ToolTipRole).toString()); });
}

TComComboBox::~TComComboBox() = default;

void TComComboBox::SetItemHeight(int height) {
    setMinimumHeight(0);
    setProperty("itemHeight", height);
    if (Loading())
        setCurrentIndex(Marked());
}

void TComComboBox::showPopup() {
    if (ComProperty() == cpPort && !Loading())
        ListPortsAgain();
    QComboBox::showPopup();
}

void TComComboBox::Refilled() {
    if (ComProperty() != cpPort)
        return;
    const std::string classDir = PortListClassDir();
    for (int i = 0; i < count(); ++i) {
        // A network port's tooltip is its URL.
        std::string text = Selector().NamedPortUrl(Entries().Strings(i));
        if (text.empty())
            text = DescribeComPort(GetComPortDeviceInfo(Entries().Strings(i), classDir));
        setItemData(i, text.empty() ? QVariant() : QVariant(QString::fromStdString(text)),
                    Qt::ToolTipRole);
    }
    setToolTip(itemData(currentIndex(), Qt::ToolTipRole).toString());
}

void TComComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    painter.drawComplexControl(QStyle::CC_ComboBox, opt);
    QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
    opt.currentText = fontMetrics().elidedText(opt.currentText, Qt::ElideLeft, field.width() - 2);
    painter.drawControl(QStyle::CE_ComboBoxLabel, opt);
}

// ---- TComLed --------------------------------------------------------------------------------

namespace {

void PutLE32(QByteArray& bytes, int offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char(value >> (8 * i) & 0xFF);
}

} // namespace

QImage LoadLedGlyph(const char* name) {
    QFile file(QStringLiteral(":/leds/") + QString::fromLatin1(name) + QStringLiteral(".bmp"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The glyphs are stored as resource bitmaps: header, palette and pixels without the
    // file header that image readers expect in front.
    QByteArray dib = file.readAll();
    if (dib.size() < 40)
        return {};
    const int paletteBytes = 16 * 4;
    QByteArray bmp(14, '\0');
    bmp[0] = 'B';
    bmp[1] = 'M';
    PutLE32(bmp, 2, uint32_t(14 + dib.size()));
    PutLE32(bmp, 10, uint32_t(14 + 40 + paletteBytes));
    bmp.append(dib);
    return QImage::fromData(bmp, "BMP");
}

QImage MakeTransparent(const QImage& image) {
    if (image.isNull())
        return image;
    QImage result = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = result.pixel(0, result.height() - 1);
    for (int y = 0; y < result.height(); ++y)
        for (int x = 0; x < result.width(); ++x)
            if (result.pixel(x, y) == key)
                result.setPixel(x, y, qRgba(0, 0, 0, 0));
    return result;
}

TComLed::TComLed(QWidget* parent) : TControlOf<QWidget>(parent) {
    resize(25, 25);
    // Drawn on the parent's background: only the glyph's own pixels are painted.
    setAttribute(Qt::WA_NoSystemBackground);
    ringTimer_.setInterval(1000);
    connect(&ringTimer_, &QTimer::timeout, this, [this] { DoTimer(); });
}

TComLed::~TComLed() {
    Detach();
}

void TComLed::SelectLedBitmap() {
    if (Kind() == lkCustom)
        return;
    glyphOn_ = MakeTransparent(LoadLedGlyph(LedGlyphName(Kind(), true)));
    glyphOff_ = MakeTransparent(LoadLedGlyph(LedGlyphName(Kind(), false)));
}

void TComLed::BitmapNeeded() {
    if (glyphOn_.isNull() || glyphOff_.isNull())
        SelectLedBitmap();
}

void TComLed::SetGlyphOn(const QImage& image) {
    if (Kind() != lkCustom)
        return;
    glyphOn_ = MakeTransparent(image);
    update();
}

void TComLed::SetGlyphOff(const QImage& image) {
    if (Kind() != lkCustom)
        return;
    glyphOff_ = MakeTransparent(image);
    update();
}

void TComLed::RedrawNow() {
    QCoreApplication::processEvents();
}

QPoint TComLed::CalcBitmapPos() const {
    const QImage& glyph = State() == lsOn ? glyphOn_ : glyphOff_;
    QRect client = rect();
    return {client.left() + std::max(0, (client.width() - glyph.width()) / 2),
            client.top() + std::max(0, (client.height() - glyph.height()) / 2)};
}

const QImage& TComLed::BitmapToDraw() const {
    if (!isEnabled())
        return glyphOff_;
    return State() == lsOn ? glyphOn_ : glyphOff_;
}

void TComLed::paintEvent(QPaintEvent*) {
    BitmapNeeded();
    const QImage& glyph = BitmapToDraw();
    if (glyph.isNull())
        return;
    QPainter painter(this);
    painter.drawImage(CalcBitmapPos(), glyph);
}

void TComLed::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        update();
    QWidget::changeEvent(event);
}
