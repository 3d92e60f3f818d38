#include "ChosenFirmware.h"

#include "ModalSeam.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

bool ChosenFirmware::isAcceptable(const QString& path) {
    return QFileInfo(path).isFile();
}

void ChosenFirmware::refuse(QWidget* parent, const QString& path) {
    ModalSeam::show(QMessageBox::Warning, parent,
                    QCoreApplication::translate("ChosenFirmware", "Choix du Firmware"),
                    QCoreApplication::translate(
                        "ChosenFirmware",
                        "Ce fichier ne peut pas servir de firmware : ce n'est pas un fichier "
                        "ordinaire (dossier, tube nommé, périphérique ou fichier absent).\n\n%1\n\n"
                        "Le firmware précédent est conservé.")
                        .arg(QDir::toNativeSeparators(path)),
                    QMessageBox::Ok, QMessageBox::NoButton);
}
