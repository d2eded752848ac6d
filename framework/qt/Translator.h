#pragma once
// Hands Qt's own translatable texts (message-box buttons, the text boxes' context menu) to the
// translation runtime through the resource-string entry, so the catalogues beside the
// executable translate them like every other framework text. Install it once after the
// runtime has started: QCoreApplication::installTranslator(new TGettextTranslator(app)).
#include <QTranslator>

class TGettextTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;

    // A catalogue entry with Qt's context (msgctxt) wins over one keyed by the text alone.
    // An empty result means "no translation", so Qt keeps its English text.
    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }
};
