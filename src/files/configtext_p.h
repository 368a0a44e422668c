#ifndef VASK_CONFIGTEXT_H
#define VASK_CONFIGTEXT_H

#include <QByteArray>

#include "utf8repair.h"

namespace vask {

class ConfigFile;

// The text of "config.json" or "distributed_config.json": the bytes before
// the first NUL, through Utf8Repair. Nothing after the NUL is read. False
// when the text would pass kMaxConfigBytes.
bool readConfigText(ConfigFile &file, QByteArray &text);

// Every byte of the file, for "user.json"; false past kMaxConfigBytes.
bool readAllBytes(ConfigFile &file, QByteArray &bytes);

} // namespace vask

#endif // VASK_CONFIGTEXT_H
