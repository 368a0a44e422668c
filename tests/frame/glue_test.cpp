// The library's start-up state and FileHelper's Qt object glue.
#include <QPointer>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "filehelper.h"

namespace {

// Start-up leaves the configuration empty (nothing in this program has
// touched the library before this test).
TEST(Frame, ConfigurationStartsEmpty)
{
    EXPECT_TRUE(gJsonConfig.isEmpty());
}

// A QObject that adds its class name alone: no methods, properties or
// enumerators of its own, owned by its parent.
TEST(ObjectGlue, IsQObjectsWithTheClassNameAlone)
{
    QPointer<FileHelper> child;
    {
        QObject parent;
        FileHelper &helper = *(child = new FileHelper(&parent));
        EXPECT_EQ(helper.qt_metacast("FileHelper"), &helper);
        EXPECT_EQ(helper.qt_metacast("filehelper"), nullptr);
        const QMetaObject *mo = helper.metaObject(), &base = QObject::staticMetaObject;
        ASSERT_EQ(mo, &FileHelper::staticMetaObject);
        EXPECT_EQ(std::make_tuple(std::string(mo->className()), mo->superClass(), mo->methodCount(), mo->propertyCount(),
                                  mo->enumeratorCount(), mo->classInfoCount(), mo->constructorCount()),
                  std::make_tuple(std::string("FileHelper"), &base, base.methodCount(), base.propertyCount(),
                                  base.enumeratorCount(), 0, 0));
    }
    EXPECT_TRUE(child.isNull());
}

} // namespace
