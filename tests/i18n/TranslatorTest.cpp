// Qt's own texts through the translator bridge, on real widgets (QT_QPA_PLATFORM=offscreen).
#include "Catalogues.h"

#include "framework/qt/Translator.h"
#include "i18n/Translation.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

namespace gg = gnugettext;
namespace fs = std::filesystem;

namespace {

QCoreApplication& App() {
    return *QCoreApplication::instance();
}

// Menu texts without the shortcut Qt appends after a tab.
QStringList ContextMenuTexts() {
    QPlainTextEdit edit;
    edit.setPlainText("abc");
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (QAction* action : menu->actions())
        if (!action->isSeparator())
            texts << action->text().section('\t', 0, 0);
    return texts;
}

QString OkButtonText() {
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok);
    return box.button(QMessageBox::Ok)->text();
}

class QtTexts : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        gg::GnuGettextStartup();
        translator_ = new TGettextTranslator(&App());
        QCoreApplication::installTranslator(translator_);
    }
    void TearDown() override {
        QCoreApplication::removeTranslator(translator_);
        delete translator_;
        gg::GnuGettextShutdown();
    }
    TGettextTranslator* translator_ = nullptr;
};

} // namespace

TEST_F(QtTexts, ContextEntriesWinAndPlainEntriesServeEveryContext) {
    TTempDir dir;
    gg::bindtextdomain("default", dir.Path());
    gg::UseLanguage("pt_BR");
    std::string extra = "msgctxt \"QWidgetTextControl\"\nmsgid \"&Copy\"\nmsgstr \"&Copiar\"\n\n"
                        "msgctxt \"Elsewhere\"\nmsgid \"Delete\"\nmsgstr \"Apagar\"\n\n"
                        "msgctxt \"QPlatformTheme\"\nmsgid \"OK\"\nmsgstr \"Certo\"\n\n";
    Msgfmt(dir.Path(), "pt_BR", "default",
           PoText({{"Delete", "Excluir"},
                   {"Select All", "Selecionar tudo"},
                   {"Two\nlines", "Duas\nlinhas"}},
                  extra));

    QStringList texts = ContextMenuTexts();
    EXPECT_TRUE(texts.contains("&Copiar")) << texts.join('|').toStdString();
    EXPECT_TRUE(texts.contains("Excluir")) << texts.join('|').toStdString();
    EXPECT_TRUE(texts.contains("Selecionar tudo")) << texts.join('|').toStdString();
    EXPECT_TRUE(texts.contains("&Paste")) << texts.join('|').toStdString();
    EXPECT_EQ(OkButtonText().remove('&'), "Certo");
    // Qt keeps its single line feeds.
    EXPECT_EQ(QCoreApplication::translate("Any", "Two\nlines"), "Duas\nlinhas");
}

TEST_F(QtTexts, UnreadableCatalogueLeavesQtTextsAlone) {
    TTempDir dir;
    gg::bindtextdomain("default", dir.Path());
    gg::UseLanguage("pt_BR");
    fs::create_directories(fs::path(dir.Path()) / "pt_BR" / "LC_MESSAGES" / "default.mo");
    EXPECT_EQ(QCoreApplication::translate("QWidgetTextControl", "&Copy"), "&Copy");
    EXPECT_TRUE(ContextMenuTexts().contains("&Copy"));
}

// The shipped pt_BR catalogue beside the executable translates what the window shows.
TEST_F(QtTexts, ShippedCatalogueTranslatesTheWindowsQtTexts) {
    if (!fs::exists(gg::DefaultInstance->LocaleDirectory() + "/pt_BR/LC_MESSAGES/default.mo"))
        GTEST_SKIP() << "catalogues not built (no msgfmt)";
    gg::UseLanguage("pt_BR");
    QStringList texts = ContextMenuTexts();
    for (const char* text :
         {"&Desfazer", "&Refazer", "Recor&tar", "&Copiar", "Co&lar", "Excluir", "Selecionar tudo"})
        EXPECT_TRUE(texts.contains(text)) << text << " in " << texts.join('|').toStdString();
    EXPECT_EQ(OkButtonText().remove('&'), "OK");
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text().remove('&'), "Cancelar");
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
