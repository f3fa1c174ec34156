// main() of the GUI test programs: an offscreen application unless the
// environment asks for another platform. gtest_discover_tests runs the
// program at build time without the test's environment, so this cannot be
// left to CTest.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
