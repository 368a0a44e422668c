// The object glue of FileHelper comes from moc; only the constructor and
// destructor are ours, and they add nothing to QObject's.
#include "filehelper.h"

FileHelper::FileHelper(QObject *parent) : QObject(parent)
{ }

FileHelper::~FileHelper() = default;
