// Where the printout template is found: the current folder first, then the
// installed data folders, else the bare name as before.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "template_lookup.h"

namespace {

void write_file(const QString &path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write("x");
}

class TemplateLookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cwd_.isValid() && installed_.isValid() && other_.isValid());
        saved_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(cwd_.path()));
    }
    void TearDown() override { QDir::setCurrent(saved_); }
    QStringList folders() const { return {cwd_.path(), other_.path(), installed_.path()}; }

    QTemporaryDir cwd_, installed_, other_;
    QString saved_;
};

TEST_F(TemplateLookup, SiteTemplateInCurrentFolderWinsOverInstalledOne)
{
    write_file(QDir(cwd_.path()).filePath("fxyyxszb.frf"));
    write_file(QDir(installed_.path()).filePath("fxyyxszb.frf"));
    EXPECT_EQ(report::locate_template("fxyyxszb.frf", folders()), QDir(cwd_.path()).filePath("fxyyxszb.frf"));
}

TEST_F(TemplateLookup, InstalledTemplateFoundWhenCurrentFolderHasNone)
{
    write_file(QDir(installed_.path()).filePath("fxyyxszb.frf"));
    EXPECT_EQ(report::locate_template("fxyyxszb.frf", folders()),
              QDir(installed_.path()).filePath("fxyyxszb.frf"));
    // The earlier of two installed folders wins.
    write_file(QDir(other_.path()).filePath("fxyyxszb.frf"));
    EXPECT_EQ(report::locate_template("fxyyxszb.frf", folders()), QDir(other_.path()).filePath("fxyyxszb.frf"));
}

TEST_F(TemplateLookup, MissingEverywhereGivesTheBareNameAndAbsolutePathsStand)
{
    EXPECT_EQ(report::locate_template("fxyyxszb.frf", folders()), QString("fxyyxszb.frf"));
    EXPECT_EQ(report::locate_template("/nowhere/fxyyxszb.frf", folders()), QString("/nowhere/fxyyxszb.frf"));
}

TEST_F(TemplateLookup, DefaultFoldersStartWithTheCurrentFolderAndEndWithTheInstalledOne)
{
    const QStringList f = report::template_folders();
    ASSERT_GE(f.size(), 2);
    EXPECT_EQ(f.front(), QDir::currentPath());
    EXPECT_EQ(f.back(), QDir::cleanPath(SALEPLAN_INSTALL_DATADIR));
}

}  // namespace
