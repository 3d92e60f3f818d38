#include "Startup.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

namespace Startup {

void enableHighDpi() {
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}

bool speakFrench() {
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    // Installed with Qt (Debian: qttranslations5-l10n), or beside the executable on Windows.
    const QStringList folders = {QLibraryInfo::location(QLibraryInfo::TranslationsPath),
                                 QCoreApplication::applicationDirPath() +
                                     QStringLiteral("/translations")};
    auto* translator = new QTranslator(QCoreApplication::instance());
    for (const QString& folder : folders)
        if (translator->load(QStringLiteral("qtbase_fr"), folder))
            return QCoreApplication::installTranslator(translator);
    delete translator;
    std::fprintf(stderr,
                 "Qt's French catalogue (qtbase_fr.qm) was not found in %s: Qt's own "
                 "buttons and file chooser stay in English\n",
                 qUtf8Printable(folders.join(QStringLiteral(", "))));
    return false;
}

} // namespace Startup
