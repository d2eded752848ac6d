#include "framework/qt/Translator.h"

#include "framework/ResString.h"

#include <string>

namespace {

// The runtime answers with CR LF line ends; Qt's widgets want single line feeds.
QString ForQt(const std::string& text) {
    QString result = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return result;
}

} // namespace

QString TGettextTranslator::translate(const char* context, const char* sourceText,
                                      const char* /*disambiguation*/, int /*n*/) const {
    if (!sourceText || !*sourceText)
        return {};
    // Exceptions must not cross Qt's frames: a catalogue that cannot be read leaves Qt's
    // text as it is, and the next framework text that needs it reports the failure.
    try {
        if (context && *context) {
            // GNU gettext stores a context entry as context, EOT, text.
            std::string key = std::string(context) + '\x04' + sourceText;
            QString answer = ForQt(LoadResString(TResStringRec{key.c_str()}));
            if (answer != QString::fromUtf8(key))
                return answer;
        }
        std::string answer = LoadResString(TResStringRec{sourceText});
        QString result = ForQt(answer);
        return result == QString::fromUtf8(sourceText) ? QString() : result;
    } catch (...) {
        return {};
    }
}
