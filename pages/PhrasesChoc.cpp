#include "PhrasesChoc.h"

const QStringList& phrasesChoc() {
    static const QStringList table = {
        QStringLiteral("#Ouvrez grand les oreilles"),
        QStringLiteral("#Jamais sans ma Tindal 2"),
    };
    return table;
}
