// The library's two exported globals live together in this one translation
// unit so that their order is fixed by the language: objects of one unit are
// constructed in order of definition and destroyed in reverse. The base
// directory therefore exists before the configuration object and outlives it.
#include <QJsonObject>
#include <QString>

#include "filehelper.h"

QString FileHelper::appDirPath;
QJsonObject gJsonConfig;
