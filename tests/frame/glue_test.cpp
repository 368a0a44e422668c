// The library's start-up state, FileHelper's Qt object glue and the empty
// class that bears the library's name.
#include <QCoreApplication>
#include <QPointer>

#include <gtest/gtest.h>

#include <tuple>

#include "filehelper.h"
#include "vasksupport.h"

namespace {

TEST(StartUp, GlobalsAreEmptyAndAppDirFallsBackToTheExecutableFolder)
{
    // Nothing in this program has touched the library before this test.
    EXPECT_TRUE(gJsonConfig.isEmpty());
    EXPECT_EQ(FileHelper::appDir(), QCoreApplication::applicationDirPath());
    EXPECT_FALSE(FileHelper::appDir().isEmpty());
}

TEST(ObjectGlue, IsQObjectsWithTheClassNameAlone)
{
    QPointer<FileHelper> child;
    {
        QObject parent;
        FileHelper &helper = *(child = new FileHelper(&parent));
        for (const char *other : {"filehelper", "FILEHELPER", "FileHelper ", "QWidget", ""})
            EXPECT_EQ(helper.qt_metacast(other), nullptr) << other;
        EXPECT_EQ(helper.qt_metacast(nullptr), nullptr);
        EXPECT_EQ(helper.qt_metacast("FileHelper"), static_cast<void *>(&helper));
        EXPECT_EQ(helper.qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(&helper)));

        const QMetaObject *mo = helper.metaObject();
        const QMetaObject &base = QObject::staticMetaObject;
        ASSERT_EQ(mo, &FileHelper::staticMetaObject);
        EXPECT_STREQ(mo->className(), "FileHelper");
        EXPECT_EQ(mo->superClass(), &base);
        EXPECT_EQ(std::make_tuple(mo->methodCount(), mo->propertyCount(), mo->enumeratorCount(), mo->classInfoCount(),
                                  mo->constructorCount()),
                  std::make_tuple(base.methodCount(), base.propertyCount(), base.enumeratorCount(), 0, 0));

        // Property 0 is QObject's objectName: the call must reach QObject.
        helper.setObjectName(QStringLiteral("probe"));
        QString value;
        void *argv[] = {&value};
        EXPECT_EQ(helper.qt_metacall(QMetaObject::ReadProperty, 0, argv), -1);
        EXPECT_EQ(value, QStringLiteral("probe"));
        EXPECT_EQ(FileHelper::tr("%n file(s)", nullptr, 2), QStringLiteral("2 file(s)"));
    }
    EXPECT_TRUE(child.isNull()); // destroyed with its parent
}

TEST(EmptyClass, AssignmentReturnsTheTarget)
{
    VaskSupport a, b;
    EXPECT_EQ(&(a = b), &a);
    EXPECT_EQ(&(a = VaskSupport()), &a);
    static_assert(sizeof(VaskSupport) == 1, "VaskSupport holds no data");
}

} // namespace
