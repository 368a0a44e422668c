// The library's start-up state, FileHelper's Qt object glue and the empty
// class that bears the library's name.
#include <QCoreApplication>
#include <QPointer>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "filehelper.h"
#include "vasksupport.h"

namespace {

// Start-up leaves both globals empty (nothing in this program has touched the
// library before this test), and the empty class's assignments copy nothing.
TEST(Frame, GlobalsStartEmptyAndTheEmptyClassCopiesNothing)
{
    EXPECT_TRUE(gJsonConfig.isEmpty());
    EXPECT_EQ(FileHelper::appDir(), QCoreApplication::applicationDirPath());
    VaskSupport a, b;
    EXPECT_EQ(&(a = b), &a);
    EXPECT_EQ(&(a = VaskSupport()), &a);
    static_assert(sizeof(VaskSupport) == 1, "VaskSupport holds no data");
}

TEST(ObjectGlue, IsQObjectsWithTheClassNameAlone)
{
    QPointer<FileHelper> child;
    {
        QObject parent;
        FileHelper &helper = *(child = new FileHelper(&parent));
        const std::pair<const char *, void *> casts[] = {
            {"FileHelper", &helper}, {"QObject", static_cast<QObject *>(&helper)}, {nullptr, nullptr},
            {"filehelper", nullptr}, {"FILEHELPER", nullptr}, {"FileHelper ", nullptr}, {"QWidget", nullptr}, {"", nullptr}};
        for (const auto &[name, object] : casts)
            EXPECT_EQ(helper.qt_metacast(name), object) << (name ? name : "null");

        // QObject's meta-object with the class name alone added.
        const QMetaObject *mo = helper.metaObject(), &base = QObject::staticMetaObject;
        ASSERT_EQ(mo, &FileHelper::staticMetaObject);
        EXPECT_EQ(std::make_tuple(std::string(mo->className()), mo->superClass(), mo->methodCount(), mo->propertyCount(),
                                  mo->enumeratorCount(), mo->classInfoCount(), mo->constructorCount()),
                  std::make_tuple(std::string("FileHelper"), &base, base.methodCount(), base.propertyCount(),
                                  base.enumeratorCount(), 0, 0));

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

} // namespace
