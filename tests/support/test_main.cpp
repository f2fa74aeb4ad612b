// The gtest main of every suite, with a Qt application object: QApplication for the GUI suites.
#include <gtest/gtest.h>

#ifdef KELVANO_TEST_GUI
#include <QApplication>
using Application = QApplication;
#else
#include <QCoreApplication>
using Application = QCoreApplication;
#endif

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    Application app(argc, argv);
    return RUN_ALL_TESTS();
}
