// FileHelper's Qt object glue and the library's start-up state.
#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <gtest/gtest.h>

#include "filehelper.h"
#include "vasksupport.h"

namespace {

TEST(StartUp, GlobalsAreEmptyAndAppDirFallsBackToTheExecutableFolder)
{
    // Nothing in this binary has touched the library before this test.
    EXPECT_TRUE(gJsonConfig.isEmpty());
    EXPECT_EQ(FileHelper::appDir(), QCoreApplication::applicationDirPath());
    EXPECT_FALSE(FileHelper::appDir().isEmpty());
}

TEST(ObjectGlue, MetaCastMatchesTheExactClassNameOnly)
{
    FileHelper helper(nullptr);
    EXPECT_EQ(helper.qt_metacast(nullptr), nullptr);
    EXPECT_EQ(helper.qt_metacast("FileHelper"), static_cast<void *>(&helper));
    EXPECT_EQ(helper.qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(&helper)));
    EXPECT_EQ(helper.qt_metacast("filehelper"), nullptr);
    EXPECT_EQ(helper.qt_metacast("FILEHELPER"), nullptr);
    EXPECT_EQ(helper.qt_metacast("FileHelper "), nullptr);
    EXPECT_EQ(helper.qt_metacast("QWidget"), nullptr);
}

TEST(ObjectGlue, MetaObjectAddsNothingToQObject)
{
    FileHelper helper(nullptr);
    const QMetaObject *mo = helper.metaObject();
    ASSERT_EQ(mo, &FileHelper::staticMetaObject);
    EXPECT_STREQ(mo->className(), "FileHelper");
    EXPECT_EQ(mo->superClass(), &QObject::staticMetaObject);
    const QMetaObject &base = QObject::staticMetaObject;
    EXPECT_EQ(mo->methodCount(), base.methodCount());
    EXPECT_EQ(mo->propertyCount(), base.propertyCount());
    EXPECT_EQ(mo->enumeratorCount(), base.enumeratorCount());
    EXPECT_EQ(mo->classInfoCount(), 0);
    EXPECT_EQ(mo->constructorCount(), 0);
    EXPECT_TRUE(helper.inherits("QObject"));
    EXPECT_EQ(qobject_cast<FileHelper *>(static_cast<QObject *>(&helper)), &helper);
}

TEST(ObjectGlue, MetaCallIsQObjectsOwn)
{
    // Property 0 of QObject is objectName: the call must reach QObject.
    FileHelper helper(nullptr);
    helper.setObjectName(QStringLiteral("probe"));
    QString value;
    void *argv[] = {&value};
    const int rest = helper.qt_metacall(QMetaObject::ReadProperty, 0, argv);
    EXPECT_EQ(value, QStringLiteral("probe"));
    EXPECT_EQ(rest, -1);
}

TEST(ObjectGlue, TrReturnsTheSourceTextWithoutATranslator)
{
    EXPECT_EQ(FileHelper::tr("Base directory"), QStringLiteral("Base directory"));
    EXPECT_EQ(FileHelper::tr("%n file(s)", nullptr, 2), QStringLiteral("2 file(s)"));
}

TEST(ObjectGlue, ChildIsDestroyedWithItsParent)
{
    QPointer<FileHelper> child;
    {
        QObject parent;
        child = new FileHelper(&parent);
        EXPECT_EQ(child->parent(), &parent);
    }
    EXPECT_TRUE(child.isNull());
}

TEST(EmptyClass, AssignmentReturnsTheTarget)
{
    VaskSupport a;
    VaskSupport b;
    EXPECT_EQ(&(a = b), &a);
    EXPECT_EQ(&(a = VaskSupport()), &a);
    static_assert(sizeof(VaskSupport) == 1, "VaskSupport holds no data");
}

} // namespace
