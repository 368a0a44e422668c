// FileHelper's Qt object glue.
#include <QPointer>

#include <gtest/gtest.h>

#include "filehelper.h"

namespace {

// A QObject that adds its class name alone, owned by its parent.
TEST(ObjectGlue, IsQObjectsWithTheClassNameAlone)
{
    QPointer<FileHelper> child;
    {
        QObject parent;
        const QMetaObject *mo = (child = new FileHelper(&parent))->metaObject();
        EXPECT_TRUE(mo->superClass() == &QObject::staticMetaObject
                    && mo->methodCount() == QObject::staticMetaObject.methodCount());
        EXPECT_STREQ(mo->className(), "FileHelper");
    }
    EXPECT_TRUE(child.isNull());
}

} // namespace
