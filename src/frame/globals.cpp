// The library's two exported globals live together in this one translation
// unit so that their order is fixed by the language: objects of one unit are
// constructed in order of definition and destroyed in reverse. The base
// directory therefore exists before the configuration object and outlives it.
// The last object defined is the first destroyed: it tells the crash handler
// that the base directory is going away.
#include <QJsonObject>
#include <QString>

#include "dump_basedir_p.h"
#include "filehelper.h"

QString FileHelper::appDirPath;
QJsonObject gJsonConfig;

namespace {

struct TeardownMark {
    TeardownMark() = default;
    TeardownMark(const TeardownMark &) = delete;
    TeardownMark &operator=(const TeardownMark &) = delete;
    ~TeardownMark() { vask::dump::forgetBaseDirAtTeardown(); }
};
const TeardownMark gTeardownMark;

} // namespace
