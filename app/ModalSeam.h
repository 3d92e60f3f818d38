#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

// Every modal box and file chooser of the updater passes through here, so
// that a test can answer it in advance instead of blocking on exec().
class ModalSeam {
public:
    using BoxAnswer = std::function<int(QMessageBox& box)>;
    using FileAnswer = std::function<QString(const QString& caption, const QString& directory,
                                             const QString& filter)>;

    // An empty function lets the boxes run for real again.
    static void answerBoxesWith(BoxAnswer answer);
    static void answerFileChooserWith(FileAnswer answer);

    static int exec(QMessageBox& box);
    // A box built as QMessageBox's static functions build theirs.
    static QMessageBox::StandardButton show(QMessageBox::Icon icon, QWidget* parent,
                                            const QString& title, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton);
    static QString getOpenFileName(QWidget* parent, const QString& caption,
                                   const QString& directory, const QString& filter);
};
