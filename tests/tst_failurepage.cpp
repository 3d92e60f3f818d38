// The failure page's error context and the network-error page.
#include "PageDfuFailedForm.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QtTest>

namespace {

QPlainTextEdit* contextOf(PageDfuFailedForm& page) {
    return page.findChild<QPlainTextEdit*>("pErrorContext");
}

// The format of the character that starts `needle` in the error context.
QTextCharFormat formatAt(QPlainTextEdit* edit, const QString& needle) {
    QTextCursor cursor = edit->document()->find(needle);
    if (cursor.isNull())
        return QTextCharFormat();
    cursor.setPosition(cursor.selectionStart() + 1);
    return cursor.charFormat();
}

} // namespace

class FailurePageTest : public QObject {
    Q_OBJECT

private slots:
    void startsWithGreenBuildLine() {
        QWidget parent;
        PageDfuFailedForm page(&parent);
        QPlainTextEdit* edit = contextOf(page);
        QVERIFY(edit->isReadOnly());
        QCOMPARE(edit->document()->blockCount(), 1);
        const QString first = edit->document()->firstBlock().text();
        QVERIFY2(QRegularExpression(R"(^Build : [A-Z][a-z]{2} \d{1,2} \d{4} - \d\d:\d\d:\d\d$)")
                     .match(first)
                     .hasMatch(),
                 qPrintable(first));
        QCOMPARE(formatAt(edit, "Build").foreground().color(), QColor("#00FF00"));
        QVERIFY(page.findChild<QLabel*>("label")->text().contains(
            QString::fromUtf8("La mise à jour a échoué")));
        QCOMPARE(page.findChild<QLabel*>("label_2")->text(),
                 QString::fromUtf8("Contexte de l'erreur :"));
    }

    void numberedColouredLinesThatSurviveReset() {
        QWidget parent;
        PageDfuFailedForm page(&parent);
        QPlainTextEdit* edit = contextOf(page);
        page.appendErrorDesc("KernoTindalUpdateDlg", 419, "premier");
        page.appendErrorDesc("", 7, QString::fromUtf8("deuxième é à ç"));
        page.reset();
        page.appendErrorDesc("f", 525, "<b>gras</b> fin");
        page.reset();

        QTextDocument* doc = edit->document();
        QCOMPARE(doc->blockCount(), 4);
        QCOMPARE(doc->findBlockByNumber(1).text(),
                 QString::fromUtf8("n°1 : KernoTindalUpdateDlg(419) : \u00a0premier"));
        QCOMPARE(doc->findBlockByNumber(2).text(),
                 QString::fromUtf8("n°2 : (7) : \u00a0deuxième é à ç"));
        QCOMPARE(doc->findBlockByNumber(3).text(), QString::fromUtf8("n°3 : f(525) : \u00a0gras fin"));

        QCOMPARE(formatAt(edit, QString::fromUtf8("n°2")).foreground().color(), QColor("#FF0000"));
        QCOMPARE(formatAt(edit, "(419)").foreground().color(), QColor("#FF0000"));
        QCOMPARE(formatAt(edit, "premier").foreground().color(), QColor("#808080"));
        QCOMPARE(formatAt(edit, "gras").fontWeight(), int(QFont::Bold));
        QVERIFY(formatAt(edit, "fin").fontWeight() != int(QFont::Bold));
    }

    void boldRendersBold() {
        // Pixels, not only formats: the bold word is drawn with more ink.
        QWidget parent;
        PageDfuFailedForm page(&parent);
        page.appendErrorDesc("a", 1, "<b>MMMMMMMM</b>");
        page.appendErrorDesc("a", 2, "MMMMMMMM");
        page.resize(600, 300);
        const QImage shot = page.grab().toImage();
        QPlainTextEdit* edit = contextOf(page);
        auto inkOfLine = [&](int block) {
            QTextCursor cursor(edit->document()->findBlockByNumber(block));
            const QRect line = edit->cursorRect(cursor).translated(edit->viewport()->mapTo(&page, QPoint()));
            int ink = 0;
            for (int y = line.top(); y <= line.bottom(); ++y)
                for (int x = 0; x < shot.width(); ++x)
                    if (qGray(shot.pixel(x, y)) < 200)
                        ++ink;
            return ink;
        };
        QVERIFY2(inkOfLine(1) > inkOfLine(2) + 20,
                 qPrintable(QString("%1 vs %2").arg(inkOfLine(1)).arg(inkOfLine(2))));
    }
};

QTEST_MAIN(FailurePageTest)
#include "tst_failurepage.moc"
