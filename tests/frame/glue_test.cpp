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
        FileHelper &helper = *(child = new FileHelper(&parent));
        EXPECT_EQ(helper.qt_metacast("FileHelper"), &helper);
        const QMetaObject *mo = helper.metaObject();
        EXPECT_TRUE(mo == &FileHelper::staticMetaObject && mo->superClass() == &QObject::staticMetaObject
                    && mo->methodCount() == QObject::staticMetaObject.methodCount());
        EXPECT_STREQ(mo->className(), "FileHelper");
    }
    EXPECT_TRUE(child.isNull());
}

} // namespace
