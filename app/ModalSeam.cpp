#include "ModalSeam.h"

#include <QFileDialog>

namespace {
ModalSeam::BoxAnswer boxAnswer;
ModalSeam::FileAnswer fileAnswer;
} // namespace

void ModalSeam::answerBoxesWith(BoxAnswer answer) {
    boxAnswer = std::move(answer);
}

void ModalSeam::answerFileChooserWith(FileAnswer answer) {
    fileAnswer = std::move(answer);
}

int ModalSeam::exec(QMessageBox& box) {
    return boxAnswer ? boxAnswer(box) : box.exec();
}

QMessageBox::StandardButton ModalSeam::show(QMessageBox::Icon icon, QWidget* parent,
                                            const QString& title, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton) {
    QMessageBox box(icon, title, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(exec(box));
}

QString ModalSeam::getOpenFileName(QWidget* parent, const QString& caption,
                                   const QString& directory, const QString& filter) {
    if (fileAnswer)
        return fileAnswer(caption, directory, filter);
    // Qt's own chooser: a desktop's native one speaks the system's language, not the window's.
    return QFileDialog::getOpenFileName(parent, caption, directory, filter, nullptr,
                                        QFileDialog::DontUseNativeDialog);
}
