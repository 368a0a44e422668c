#ifndef VASKSUPPORT_FILES_CONFIGTEXT_P_H
#define VASKSUPPORT_FILES_CONFIGTEXT_P_H

#include <QByteArray>

#include "utf8repair_p.h"

namespace vask {

class ConfigFile;

// The text of "config.json" or "distributed_config.json": the bytes before
// the first NUL, through Utf8Repair. Nothing after the NUL is read. False
// when the text would pass kMaxConfigBytes.
bool readConfigText(ConfigFile &file, QByteArray &text);

// Every byte of the file, for "user.json"; false past kMaxConfigBytes.
bool readAllBytes(ConfigFile &file, QByteArray &bytes);

} // namespace vask

#endif // VASKSUPPORT_FILES_CONFIGTEXT_P_H
