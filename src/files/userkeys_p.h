#ifndef VASKSUPPORT_FILES_USERKEYS_P_H
#define VASKSUPPORT_FILES_USERKEYS_P_H

#include <QJsonObject>

namespace vask {

class ConfigFile;

// Whether "user.json" could give the merge a key that config lacks, read in
// pieces without holding the file. Only the text's structure is looked at:
// strings, brackets, commas. For a document the parser accepts that finds
// exactly its top-level keys, and any other document is ignored anyway; so
// "no" means the file contributes nothing for certain: its top level is no
// object, its brackets don't close, something but white space follows the
// object, a key is no valid string, or each key is one of config's.
bool mayAddKeys(ConfigFile &file, const QJsonObject &config);

} // namespace vask

#endif // VASKSUPPORT_FILES_USERKEYS_P_H
